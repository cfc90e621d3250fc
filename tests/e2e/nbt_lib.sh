# Helpers of the end-to-end tests over NetBIOS over TCP/IP: spoolhost and
# printbox processes on loopback addresses 127.0.0.N. Every node on 127/8
# hears 127.255.255.255, so each test takes its own port triple from its
# process id and nodes of tests running at once never hear each other.
# Sourced after lib.sh.

: "${PRINTBOX:?PRINTBOX must name the printbox binary}"

pick_ports() {
  PORT_BASE=$((20000 + (($$ + ${1:-0}) % 9000) * 5))
  PORTS=$PORT_BASE:$((PORT_BASE + 1)):$((PORT_BASE + 2))
  PORTS_SLASH=$PORT_BASE/$((PORT_BASE + 1))/$((PORT_BASE + 2))
}
pick_ports

BOX_STATES=()
EXTRA_DAEMONS=()

# The boxes and extra daemons of the test are stopped by their own state
# directories (or, failing that, their own pids) before lib.sh cleans up.
nbt_cleanup() {
  local dir pid
  for dir in "${BOX_STATES[@]}"; do
    if [ "$FAILURES" -ne 0 ]; then echo "--- $(basename "$dir") log"; tail -20 "$dir/printbox.log" 2>/dev/null; fi
    if ! "$PRINTBOX" --state "$dir" stop >/dev/null 2>&1; then
      pid=$(cat "$dir/printbox.pid" 2>/dev/null || true)
      [ -n "$pid" ] && kill "$pid" 2>/dev/null
    fi
  done
  for dir in "${EXTRA_DAEMONS[@]}"; do
    "$SPOOLHOST" --state "$dir" stop --force >/dev/null 2>&1 || true
  done
  cleanup
}
trap nbt_cleanup EXIT

# The monitor's unique name on an nbt adapter without mac=: "OV_" and the
# hardware address 02:00:a:b:c:d last byte first.
unique_name() {
  local IFS=.
  # shellcheck disable=SC2086
  set -- $1
  printf 'OV_%02X%02X%02X%02X0002' "$4" "$3" "$2" "$1"
}

# start_nbt_daemon ADDR [OPTIONS...]: the monitor on ADDR/8, with the --net
# options in NBT_OPTIONS (",stall=2") if set. Skips the test
# (status 77) when loopback addresses other than 127.0.0.1 cannot be bound;
# takes another port triple when the chosen one is in use.
start_nbt_daemon() {
  local addr=$1 try
  shift
  for try in 1 2 3; do
    if sh_ start --time-scale "$SCALE" --net "nbt:$addr/8,ports=$PORTS${NBT_OPTIONS:-}" "$@" >"$OUT" 2>"$ERR"; then return 0; fi
    if grep -q "is not on this host" "$ERR"; then
      echo "SKIP: loopback address $addr cannot be bound here: $(cat "$ERR")"
      trap - EXIT
      nbt_cleanup >/dev/null 2>&1
      exit 77
    fi
    grep -q "in use" "$ERR" || break
    pick_ports "$try"
  done
  fail "spoolhost did not start on nbt:$addr/8,ports=$PORTS"
  exit 1
}

pb() {
  local name=$1
  shift
  "$PRINTBOX" --state "$STATE/box-$name" "$@"
}

# start_box NAME ADDR OPTIONS...: a print box as its own process on ADDR/8,
# its jobs in $STATE/box-NAME/jobs.
start_box() {
  local name=$1 addr=$2
  shift 2
  local dir=$STATE/box-$name
  BOX_STATES+=("$dir")
  EXTRA_LOGS+=("$dir/printbox.log")
  if ! pb "$name" start --net "nbt:$addr/8,ports=$PORTS" --name "$name" "$@" >"$OUT" 2>"$ERR"; then
    fail "printbox $name did not start on $addr"
    return 1
  fi
}

box_pid() { cat "$STATE/box-$1/printbox.pid"; }

# The boxes still running stop before the test's logs are checked.
eval "lib_$(declare -f finish)"
finish() {
  local dir
  for dir in "${BOX_STATES[@]}"; do
    "$PRINTBOX" --state "$dir" stop >/dev/null 2>&1 && await_exit "$dir/printbox.pid"
  done
  lib_finish
}
