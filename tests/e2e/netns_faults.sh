#!/usr/bin/env bash
# The box's cable pulled, across hosts: mid-job the box falls silent (no
# reset, no close; its host is simply gone), the job fails and says so,
# nothing hangs, and the port shows not available once the reports stop.
# With the cable back the next ping brings the port back, and the next job
# prints at once.
. "$(dirname "$0")/netns_lib.sh"

netns_setup
netns_host spool 2
netns_host box 3

# A slow printer and a job larger than both hosts' socket buffers hold in
# flight (several MB once TCP has tuned them), so that the job is still going
# when the cable goes.
start_box box 3 BOX --port P1 --receive-delay 5
start_spoolhost spool 2
eventually 30 "^P1$" ports
run 0 add-printer Laser P1
eventually 30 "^Laser +P1 +ready" printers

head -c 32000000 /dev/urandom >"$WORK/big.bin"
timeout 90 "$SPOOLHOST" --state "$STATE" print Laser "$WORK/big.bin" >"$WORK/big.out" 2>"$WORK/big.err" &
printer_pid=$!
eventually 30 "Laser +P1 +printing +[0-9]*[1-9][0-9]*/32000000" jobs
cable() { ip -n "$NETNS_LAN" link set v-box "$1"; }
cable down
pulled=$SECONDS

# The monitor's session gives up on a peer that acknowledges nothing for
# half a minute; the job fails then, not after the system's retransmissions.
status=0
wait "$printer_pid" || status=$?
[ "$status" -eq 1 ] || fail "print should fail with status 1 once the box is gone, got $status"
grep -qE "job [0-9]* failed: WritePort failed after [0-9]* of (the )?32000000 bytes" "$WORK/big.err" ||
  fail "the failed job should say WritePort failed: $(cat "$WORK/big.err")"
[ $((SECONDS - pulled)) -le 50 ] || fail "the job took $((SECONDS - pulled)) s to fail after the cable was pulled"
run 0 jobs && contains "Laser +P1 +failed"
# The box's reports are lost with its pings: the port is not available.
eventually_answering 30 "^Laser +P1 +not available" printers

# The monitor reset the failed connection, so nothing of the failed job
# reaches the box once the cable is back, and the box's end of the old
# session goes at its next keep-alive: the port takes a job at once.
cable up
back=$SECONDS
eventually_answering 30 "^Laser +P1 +ready" printers
head -c 100000 /dev/urandom >"$WORK/again.bin"
run 0 print Laser "$WORK/again.bin" && contains "printed: 100000 bytes to port P1"
await_copy "$WORK/again.bin" "$WORK/BOX.out/P1-*.prn"
[ $((SECONDS - back)) -le 15 ] || fail "the next job took $((SECONDS - back)) s to print after the cable was back"
run 0 stop
finish
