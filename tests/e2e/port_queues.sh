#!/usr/bin/env bash
# Each port has its own queue: a job waiting at a port that is out of paper
# holds up neither the other port's jobs nor the printer's next steps there.
. "$(dirname "$0")/lib.sh"

BOXOUT=$WORK/box
start_daemon --printbox "BOX1:P1,P2@$BOXOUT"
eventually 20 "^P2$" ports
run 0 add-printer Laser P1
run 0 add-printer Ink P2
# No popups: the waiting job must not need anyone to answer one.
run 0 configure P1 --out-of-paper off --offline off --no-response off
printf 'laser first\n' >"$WORK/first.txt"
run 0 print Laser "$WORK/first.txt"

run 0 box BOX1 P1 paperout
eventually 20 "^Laser +P1 +paper out" printers
head -c 20000 /dev/urandom >"$WORK/waits.bin"
sh_ print Laser "$WORK/waits.bin" >"$WORK/waits.out" 2>"$WORK/waits.err" &
waiting_pid=$!
eventually 20 "Laser +P1 +waiting for the port" jobs

# The other port prints at once, twice, while the first job still waits.
for n in 1 2; do
  head -c 7000 /dev/urandom >"$WORK/ink$n.bin"
  timeout 20 "$SPOOLHOST" --state "$STATE" print Ink "$WORK/ink$n.bin" >"$OUT" 2>"$ERR" ||
    fail "job $n to the ready port P2 did not complete while P1 was out of paper"
  await_copy "$WORK/ink$n.bin" "$BOXOUT/P2-*.prn"
done
run 0 jobs && contains "Laser +P1 +waiting for the port"
kill -0 "$waiting_pid" 2>/dev/null || fail "the job at P1 should still wait"

run 0 box BOX1 P1 ready
wait "$waiting_pid" || fail "the waiting job did not print once P1 was ready: $(cat "$WORK/waits.err")"
await_copy "$WORK/waits.bin" "$BOXOUT/P1-*.prn"
run 0 jobs && contains "Laser +P1 +done"
run 0 stop
finish
