#!/usr/bin/env bash
# printbox as a user runs it: one line and a telling status for a bad --net,
# an address the host does not have, a session port in use and a port name
# another box holds; serve in the foreground, stopped by a signal, releases
# its names so the next box can have them at once.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/nbt_lib.sh"

# pb_error STATUS NAME ARGS...: printbox fails with STATUS and one line.
pb_error() {
  local want=$1 name=$2 got=0
  shift 2
  BOX_STATES+=("$STATE/box-$name")
  pb "$name" "$@" >"$OUT" 2>"$ERR" || got=$?
  [ "$got" -eq "$want" ] || fail "printbox $* exited $got, expected $want"
  [ "$(wc -l <"$ERR")" -eq 1 ] && grep -q '^printbox: ' "$ERR" || fail "printbox $* should say one line on stderr"
}

start_nbt_daemon 127.0.0.11
NET=nbt:127.0.0.12/8,ports=$PORTS
pb_error 2 BAD start --net nbt:127.0.0.12 --port P1 && err_contains "--net nbt:127.0.0.12: nbt needs ADDR/PREFIX"
pb_error 2 BAD start --net "$NET,ports=1:2" --port P1 && err_contains "ports need NS:DGM:SSN"
pb_error 2 BAD start --net loop:lan0 --port P1 && err_contains "in-process segment"
pb_error 2 BAD start --port P1 && err_contains "needs its adapter: --net nbt:"
pb_error 2 BAD start --net "$NET" && err_contains "at least one --port"
pb_error 2 BAD start --net "$NET" --port P1 --port P1 && err_contains "port P1 given twice"
pb_error 2 BAD start --net "$NET" --port P1=wet && err_contains "unknown port state"
pb_error 2 BAD start --net "$NET" --port P1 --name SIXTEEN_CHARS_XX && err_contains "box name"
pb_error 1 BAD start --net "nbt:192.0.2.1/24,ports=$PORTS" --port P1 && err_contains "192.0.2.1 is not on this host"
# The monitor's address: its session port is taken.
pb_error 1 BAD start --net "nbt:127.0.0.11/8,ports=$PORTS" --port P1 &&
  err_contains "session port 127.0.0.11:$((PORT_BASE + 2)) is in use"
pb_error 3 NONE status && err_contains "no printbox runs in"

# A box in the foreground; a second box may not have its port name.
"$PRINTBOX" --state "$STATE/box-FG" serve --net "$NET" --name FG --port P1 >"$WORK/fg.out" 2>"$WORK/fg.err" &
fg_pid=$!
BOX_STATES+=("$STATE/box-FG")
EXTRA_LOGS+=("$WORK/fg.err")
for n in $(seq 100); do pb FG status >/dev/null 2>&1 && break; sleep 0.1; done
pb FG status >"$OUT" 2>"$ERR" && contains "printbox FG \(pid $fg_pid\) on nbt 127.0.0.12"
pb_error 1 OTHER start --net "nbt:127.0.0.13/8,ports=$PORTS" --name OTHER --port P1 &&
  err_contains "the name P1 is held by another node on the segment \(NetBIOS code 0x16\)"
eventually 20 "^P1$" ports

kill -TERM "$fg_pid"
status=0
wait "$fg_pid" || status=$?
[ "$status" -eq 0 ] || fail "serve should end with status 0 on SIGTERM, got $status"
grep -q "printbox FG stopped" "$WORK/fg.out" || fail "serve should say it stopped: $(cat "$WORK/fg.out")"
start_box OTHER 127.0.0.13 --port P1 || fail "the released name P1 should be free: $(cat "$ERR")"
run 0 stop
finish
