#!/usr/bin/env bash
# Other nodes claiming the monitor's unique name are refused: a box with a
# port of that name does not start and says why in one line, and a second
# monitor with the same hardware address is told the name is in use. The
# first monitor keeps its name and prints on.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/nbt_lib.sh"

start_nbt_daemon 127.0.0.7
NAME=$(unique_name 127.0.0.7)
start_box BOX1 127.0.0.8 --port P1
eventually 20 "^P1$" ports

BOX_STATES+=("$STATE/box-THIEF")
status=0
pb THIEF start --net "nbt:127.0.0.9/8,ports=$PORTS" --name THIEF --port "$NAME" >"$OUT" 2>"$ERR" || status=$?
[ "$status" -eq 1 ] || fail "a box claiming $NAME should fail with status 1, got $status"
[ "$(wc -l <"$ERR")" -eq 1 ] || fail "the refusal should be one line"
err_contains "printbox: the name $NAME is held by another node on the segment \(NetBIOS code 0x16\)"
pb THIEF status >/dev/null 2>&1 && fail "the refused box should not be running"

# A second monitor whose adapter has the first one's hardware address.
SECOND=$WORK/second
EXTRA_DAEMONS+=("$SECOND")
EXTRA_LOGS+=("$SECOND/spoolhost.log")
"$SPOOLHOST" --state "$SECOND" start --time-scale "$SCALE" \
  --net "nbt:127.0.0.10/8,ports=$PORTS,mac=02:00:7f:00:00:07" >"$OUT" 2>"$ERR" || fail "the second monitor did not start"
grep -q "AddName Unique ret: 16" "$SECOND/windows/TAVRO.log" ||
  fail "the second monitor should be refused the name: $(tail -5 "$SECOND/windows/TAVRO.log")"
"$SPOOLHOST" --state "$SECOND" stop >/dev/null 2>&1 || fail "the second monitor did not stop"

# The first monitor still holds its name and prints.
pb THIEF start --net "nbt:127.0.0.9/8,ports=$PORTS" --name THIEF --port "$NAME" >"$OUT" 2>"$ERR" &&
  fail "the name $NAME should still be the first monitor's"
run 0 add-printer Laser P1
head -c 50000 /dev/urandom >"$WORK/job.bin"
run 0 print Laser "$WORK/job.bin" && contains "printed: 50000 bytes to port P1"
await_copy "$WORK/job.bin" "$STATE/box-BOX1/jobs/P1-*.prn"
grep -q "AddName Unique ret" "$STATE/windows/TAVRO.log" && fail "the first monitor should hold its name"
run 0 stop
finish
