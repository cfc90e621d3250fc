#!/usr/bin/env bash
# A box process that dies in the middle of a job (kill -9): the job fails and
# says so, the monitor hangs up, spoolhost stays responsive and nothing
# hangs. The box comes back on the same address: its port returns and a job
# prints again. Then the daemon dies in the middle of a job with more queued
# behind it: the next start prints them all whole from the spool.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/nbt_lib.sh"

start_nbt_daemon 127.0.0.5
# A slow printer and a job larger than the socket buffers hold in flight, so
# that the job is still going when the box dies.
start_box BOX1 127.0.0.6 --port P1 --receive-delay 5
eventually 20 "^P1$" ports
run 0 add-printer Laser P1
printf 'first\n' >"$WORK/first.txt"
run 0 print Laser "$WORK/first.txt"
await_copy "$WORK/first.txt" "$STATE/box-BOX1/jobs/P1-*.prn"

head -c 32000000 /dev/urandom >"$WORK/big.bin"
timeout 60 "$SPOOLHOST" --state "$STATE" print Laser "$WORK/big.bin" >"$WORK/big.out" 2>"$WORK/big.err" &
printer_pid=$!
eventually 20 "Laser +P1 +printing +[0-9]*[1-9][0-9]*/32000000" jobs
kill -9 "$(box_pid BOX1)"
started=$SECONDS
status=0
wait "$printer_pid" || status=$?
[ "$status" -eq 1 ] || fail "print should fail with status 1 once the box is gone, got $status"
grep -qE "job [0-9]* failed: WritePort failed after [0-9]* of (the )?32000000 bytes" "$WORK/big.err" ||
  fail "the failed job should say WritePort failed: $(cat "$WORK/big.err")"
[ $((SECONDS - started)) -le 15 ] || fail "the job took $((SECONDS - started)) s to fail after the box died"
run 0 status && contains "jobs: 0 waiting or printing, 1 done, 1 failed"
run 0 jobs && contains "Laser +P1 +failed"
# The session was hung up: the port takes the next job as soon as the box is back.
eventually_answering 30 "^Laser +P1 +not available" printers

start_box BOX1 127.0.0.6 --port P1
eventually_answering 30 "^Laser +P1 +ready" printers
head -c 100000 /dev/urandom >"$WORK/again.bin"
run 0 print Laser "$WORK/again.bin" && contains "printed: 100000 bytes to port P1"
await_copy "$WORK/again.bin" "$STATE/box-BOX1/jobs/P1-*.prn"

# A slow printer again: one job at the port (larger than the sockets hold in
# flight), three queued behind it, of which one is cancelled; then the daemon
# is killed.
pb BOX1 stop >/dev/null && await_exit "$STATE/box-BOX1/printbox.pid"
start_box BOX1 127.0.0.6 --port P1 --receive-delay 1000
eventually_answering 30 "^Laser +P1 +ready" printers
head -c 32000000 /dev/urandom >"$WORK/at-port.bin"
sh_ print Laser "$WORK/at-port.bin" >/dev/null 2>&1 &
eventually 20 "Laser +P1 +printing +[0-9]+/32000000" jobs
pids=()
for name in second third dropped; do
  head -c 200000 /dev/urandom >"$WORK/$name.bin"
  sh_ print Laser "$WORK/$name.bin" >"$WORK/$name.out" 2>"$WORK/$name.err" &
  pids+=($!)
done
for n in $(seq 100); do grep -q "queued for printer" "$WORK/dropped.out" && break; sleep 0.1; done
dropped=$(awk '{print $2}' "$WORK/dropped.out")
run 0 cancel "$dropped" && contains "^job $dropped cancelled$"
status=0
wait "${pids[2]}" || status=$?
[ "$status" -eq 1 ] && grep -q "^spoolhost: job $dropped cancelled$" "$WORK/dropped.err" ||
  fail "the cancelled job's client should exit 1 and hear it (status $status): $(cat "$WORK/dropped.err")"
run 0 jobs && contains "^$dropped +Laser +P1 +cancelled"
# Both others spooled whole ("+" marks a job still coming).
spooled() { sh_ jobs >"$OUT" 2>"$ERR" && grep -cE "Laser +P1 +queued +0/200000 bytes" "$OUT"; }
for n in $(seq 100); do [ "$(spooled)" = 2 ] && break; sleep 0.2; done
[ "$(spooled)" = 2 ] || fail "two jobs should be queued whole behind the one at the port"

kill -9 "$(cat "$STATE/spoolhost.pid")" "$(box_pid BOX1)"
await_exit "$STATE/spoolhost.pid"
await_exit "$STATE/box-BOX1/printbox.pid"
start_box BOX1 127.0.0.6 --port P1
start_nbt_daemon 127.0.0.5
run 0 jobs && contains "Laser +P1 +[a-z ]+\(restarted\) +[0-9]+/32000000 bytes" &&
  contains "Laser +P1 +[a-z ]+ +[0-9]+/200000 bytes"
eventually 90 "Laser +P1 +done \(restarted\) +32000000/32000000 bytes" jobs
for name in at-port second third; do await_copy "$WORK/$name.bin" "$STATE/box-BOX1/jobs/P1-*.prn"; done
for f in "$STATE"/box-BOX1/jobs/P1-*.prn; do
  cmp -s "$f" "$WORK/dropped.bin" && fail "the cancelled job was printed"
done
run 0 stop
finish
