# Helpers of the end-to-end tests that run spoolhost and print boxes as
# separate hosts: each host is a network namespace with one veth link into a
# bridge that lives in a namespace of its own, on 10.77.0.0/24, so the nodes
# use the standard NetBIOS ports 137/138/139 and touch nothing of the machine's
# own network. Everything is made per run under names of its own and removed
# on exit, on a signal, on the test's time limit, and by a watchdog should the
# test itself be killed.
#
# A test sources this file instead of lib.sh, calls netns_setup, then
# netns_host NAME ADDRESS for every host, and runs commands there with
# in_host NAME COMMAND...
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

: "${PRINTBOX:?PRINTBOX must name the printbox binary}"
NETNS_PREFIX=tavro-e2e
NETNS_NET=10.77.0
NETNS_BCAST=$NETNS_NET.255
# Under the ctest limit of 120 s: a test past this is stopped and cleaned up.
NETNS_LIMIT=${NETNS_LIMIT:-100}
NETNS_RUN=
NETNS_LAN=
NETNS_BOXES=()
NETNS_CAPTURE_PID=

skip() {
  echo "SKIP: $*"
  exit 77
}

# The namespaces of this run: a bridge namespace and one per host.
netns_names() {
  [ -n "$NETNS_RUN" ] || return 0
  ip netns list 2>/dev/null | awk -v p="$NETNS_RUN-" 'index($1, p) == 1 {print $1}'
}

# Ends what still runs in a namespace (only this run's namespaces reach
# here), then removes it; its veth ends go with it.
netns_remove() {
  local ns=$1 pids
  pids=$(ip netns pids "$ns" 2>/dev/null)
  if [ -n "$pids" ]; then
    kill $pids 2>/dev/null
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      pids=$(ip netns pids "$ns" 2>/dev/null)
      [ -z "$pids" ] && break
      sleep 0.2
    done
    [ -n "$pids" ] && kill -9 $pids 2>/dev/null
  fi
  ip netns del "$ns" 2>/dev/null
}

netns_teardown() {
  local ns
  for ns in $(netns_names); do netns_remove "$ns"; done
}

# Namespaces of earlier runs whose test process is gone (killed outright, so
# neither its trap nor its watchdog ran) are removed before a new run.
netns_reap_stale() {
  local ns pid
  for ns in $(ip netns list 2>/dev/null | awk -v p="$NETNS_PREFIX-" 'index($1, p) == 1 {print $1}'); do
    pid=${ns#"$NETNS_PREFIX"-}
    pid=${pid%%-*}
    case $pid in '' | *[!0-9]*) continue ;; esac
    kill -0 "$pid" 2>/dev/null && continue
    netns_remove "$ns"
  done
}

netns_on_exit() {
  local status=$?
  trap - EXIT INT TERM
  # A signal may come while a helper's output goes to $OUT: report to the
  # test's own output.
  exec 1>&8 2>&9
  [ -n "$NETNS_CAPTURE_PID" ] && kill "$NETNS_CAPTURE_PID" 2>/dev/null
  local box
  for box in "${NETNS_BOXES[@]}"; do
    if [ "$FAILURES" -ne 0 ]; then
      echo "--- printbox $box log"; tail -20 "$WORK/$box.state/printbox.log" 2>/dev/null
      grep -A60 -m1 "Sanitizer" "$WORK/$box.state/printbox.log" 2>/dev/null | head -80
    fi
    "$PRINTBOX" --state "$WORK/$box.state" stop >/dev/null 2>&1
  done
  # lib.sh's cleanup stops spoolhost, shows its logs on failure and removes
  # the state directory.
  cleanup
  netns_teardown
  [ -n "${NETNS_WATCHDOG:-}" ] && kill "$NETNS_WATCHDOG" 2>/dev/null
  exit "$status"
}

# Makes the bridge namespace, or skips the test where namespaces are not
# permitted; starts the watchdog.
netns_setup() {
  [ "$(id -u)" -eq 0 ] || skip "network namespaces need root (running as uid $(id -u)); the hosts-in-namespaces test is not run"
  command -v ip >/dev/null || skip "ip (iproute2) is not installed; the hosts-in-namespaces test is not run"
  netns_reap_stale
  NETNS_RUN=$NETNS_PREFIX-$$-$(printf '%04x' $((RANDOM % 65536)))
  NETNS_LAN=$NETNS_RUN-lan
  local err=$WORK/netns.err
  if ! ip netns add "$NETNS_LAN" 2>"$err"; then
    skip "network namespaces are not permitted here (ip netns add: $(head -1 "$err")); the hosts-in-namespaces test is not run"
  fi
  exec 8>&1 9>&2
  trap netns_on_exit EXIT
  trap 'exit 130' INT
  trap 'echo "FAIL: stopped (time limit or signal)" >&8; FAILURES=$((FAILURES + 1)); exit 1' TERM
  # The watchdog outlives the test in a session of its own: it stops the test
  # at the time limit, and removes the namespaces if the test is killed.
  setsid bash -c "
    $(declare -f netns_names netns_remove netns_teardown)
    NETNS_RUN=$NETNS_RUN
    me=\$BASHPID
    deadline=\$((SECONDS + $NETNS_LIMIT))
    while kill -0 $$ 2>/dev/null; do
      if [ \$SECONDS -ge \$deadline ]; then
        # A shell runs its trap only once the command it waits for ends, so
        # the test's own children are stopped too.
        kill -TERM \$(ps -o pid= --ppid $$ | grep -vw \$me) $$ 2>/dev/null
        deadline=\$((SECONDS + 15))
      fi
      sleep 0.5
    done
    sleep 1
    netns_teardown
    rm -rf '$STATE'" </dev/null >/dev/null 2>&1 &
  NETNS_WATCHDOG=$!
  ip netns exec "$NETNS_LAN" true 2>"$err" ||
    skip "cannot run commands in a network namespace here ($(head -1 "$err")); the hosts-in-namespaces test is not run"
  ip -n "$NETNS_LAN" link set lo up || skip "cannot configure interfaces in a network namespace here"
  ip -n "$NETNS_LAN" link add br0 type bridge || skip "cannot make a bridge in a network namespace here"
  ip -n "$NETNS_LAN" link set br0 up
}

# netns_host NAME LAST-OCTET: a host namespace with eth0 on 10.77.0.N/24,
# linked into the bridge.
netns_host() {
  local name=$1 octet=$2 ns=$NETNS_RUN-$1
  ip netns add "$ns" || { fail "ip netns add $ns"; exit 1; }
  ip -n "$NETNS_LAN" link add "v-$name" type veth peer name eth0 netns "$ns" &&
    ip -n "$NETNS_LAN" link set "v-$name" master br0 up &&
    ip -n "$ns" link set lo up &&
    ip -n "$ns" addr add "$NETNS_NET.$octet/24" brd + dev eth0 &&
    ip -n "$ns" link set eth0 up || { fail "cannot link host $name into the bridge"; exit 1; }
  # No IPv6 chatter on the segment: the capture holds the test's traffic.
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 2>/dev/null
  local i
  for i in $(seq 50); do
    ip -n "$ns" -o link show eth0 | grep -q 'state UP' && return 0
    sleep 0.1
  done
  fail "eth0 of host $name never came up"
  exit 1
}

in_host() {
  local name=$1
  shift
  ip netns exec "$NETNS_RUN-$name" "$@"
}

# The nbt adapter of a host at 10.77.0.N on the standard ports.
net_of() { echo "nbt:$NETNS_NET.$1/24"; }

# The monitor's unique name on an nbt adapter without mac=: "OV_" and the
# hardware address 02:00:A:B:C:D (the IPv4 address A.B.C.D), last byte first,
# in upper-case hexadecimal: 10.77.0.2 gives OV_02004D0A0002.
monitor_name_of() {
  local IFS=.
  # shellcheck disable=SC2086
  set -- $1
  printf 'OV_%02X%02X%02X%02X0002' "$4" "$3" "$2" "$1"
}

# start_spoolhost HOST OCTET [ARGS...]: spoolhost in that host on its address.
start_spoolhost() {
  local host=$1 octet=$2
  shift 2
  local got=0
  in_host "$host" "$SPOOLHOST" --state "$STATE" start --time-scale "$SCALE" --net "$(net_of "$octet")" "$@" \
    >"$OUT" 2>"$ERR" || got=$?
  [ "$got" -eq 0 ] || { fail "spoolhost start in $host exited $got"; exit 1; }
}

# start_box HOST OCTET NAME ARGS...: a printbox in that host, its state (and
# log) in $WORK/NAME.state, its jobs in $WORK/NAME.out.
start_box() {
  local host=$1 octet=$2 name=$3
  shift 3
  mkdir -p "$WORK/$name.out"
  NETNS_BOXES+=("$name")
  local got=0
  in_host "$host" "$PRINTBOX" --state "$WORK/$name.state" start --net "$(net_of "$octet")" --name "$name" \
    --out "$WORK/$name.out" "$@" >"$OUT" 2>"$ERR" || got=$?
  [ "$got" -eq 0 ] || { fail "printbox start $name in $host exited $got"; exit 1; }
}

box_() {
  local name=$1
  shift
  "$PRINTBOX" --state "$WORK/$name.state" "$@"
}

# capture_start FILE: tshark on the bridge until capture_stop.
capture_start() {
  local file=$1
  ip netns exec "$NETNS_LAN" tshark -n -q -i br0 -w "$file" >"$WORK/tshark.log" 2>&1 &
  NETNS_CAPTURE_PID=$!
  local i
  for i in $(seq 100); do
    grep -q "Capture started" "$WORK/tshark.log" && return 0
    kill -0 "$NETNS_CAPTURE_PID" 2>/dev/null || break
    sleep 0.1
  done
  # A tshark that does not say when it has started says what it listens on.
  grep -q "Capturing on" "$WORK/tshark.log" && return 0
  fail "tshark did not start capturing: $(cat "$WORK/tshark.log")"
  exit 1
}

capture_stop() {
  [ -n "$NETNS_CAPTURE_PID" ] || return 0
  kill -INT "$NETNS_CAPTURE_PID" 2>/dev/null
  wait "$NETNS_CAPTURE_PID" 2>/dev/null
  NETNS_CAPTURE_PID=
}

# need TOOL PACKAGE: the tool must be there (scripts/deps installs it).
need() {
  command -v "$1" >/dev/null && return 0
  echo "FAIL: $1 is missing; scripts/deps installs the Debian package $2"
  exit 1
}
