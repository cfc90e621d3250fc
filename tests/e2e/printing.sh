#!/usr/bin/env bash
# Jobs through the monitor to an in-process box: the box's copy is the file,
# byte for byte, for small, packet-sized and larger jobs, from a file or a pipe.
. "$(dirname "$0")/lib.sh"

BOXOUT=$WORK/box
mkdir -p "$BOXOUT" && chmod 755 "$BOXOUT"  # an open folder: the jobs in it stay private
start_daemon --printbox "BOX1:P1,P2@$BOXOUT"
eventually 20 "^P1$" ports
run 0 add-printer Laser P1 && contains "printer Laser added on port P1"
eventually 20 "^Laser +P1 +ready" printers

# One job: what the box wrote is what was printed.
head -c 10000 /dev/urandom >"$WORK/job1.bin"
run 0 print Laser "$WORK/job1.bin" && contains "job [0-9]+ printed: 10000 bytes to port P1"
await_copy "$WORK/job1.bin" "$BOXOUT/P1-*.prn"
[ "$(stat -c %a "$BOXOUT"/P1-1.prn)" = 600 ] || fail "a job's file should be 0600, is $(stat -c %a "$BOXOUT"/P1-1.prn)"
ls "$BOXOUT" >"$WORK/files"
[ "$(ls "$BOXOUT"/*.prn | wc -l)" -eq 1 ] || fail "the box should hold one job, has: $(cat "$WORK/files")"

# Lengths around the packet size (3068 payload bytes), one byte, and a pipe.
for size in 1 3068 3069 3070 6136 250000; do
  head -c "$size" /dev/urandom >"$WORK/job-$size.bin"
  run 0 print Laser "$WORK/job-$size.bin" || continue
  await_copy "$WORK/job-$size.bin" "$BOXOUT/P1-*.prn"
done
printf 'from a pipe\n' >"$WORK/piped.txt"
printf 'from a pipe\n' | sh_ print Laser - >"$OUT" 2>"$ERR" || fail "print from a pipe failed"
await_copy "$WORK/piped.txt" "$BOXOUT/P1-*.prn"

# A second printer on the other port; jobs list both.
run 0 add-printer Ink P2
printf 'ink job\n' >"$WORK/ink.txt"
run 0 print Ink "$WORK/ink.txt" && contains "to port P2"
await_copy "$WORK/ink.txt" "$BOXOUT/P2-*.prn"
run 0 jobs && contains "Laser +P1 +done" && contains "Ink +P2 +done"

# A job on a port whose box reports a state the monitor does not know (0x15)
# fails, and says so, rather than hanging or claiming success.
run 0 box BOX1 P2 0x15
sleep 2
run 1 print Ink "$WORK/ink.txt" && err_contains "job [0-9]+ failed"
run 0 box BOX1 P2 ready
run 0 stop
finish
