#!/usr/bin/env bash
# The box's port changes state: the printer's status follows, a job waits
# with a popup that waits for the user, and prints once the port is ready.
. "$(dirname "$0")/lib.sh"

BOXOUT=$WORK/box
start_daemon --printbox "BOX1:P1,P2@$BOXOUT"
eventually 20 "^P1$" ports
run 0 add-printer Laser P1
run 0 configure P1 --out-of-paper on --offline on --no-response off
# The monitor takes a printer onto its port with the printer's first job;
# from then on the port's state reaches the printer.
printf 'first\n' >"$WORK/first.txt"
run 0 print Laser "$WORK/first.txt"
eventually 20 "^Laser +P1 +ready" printers

run 0 box BOX1 P1 paperout && contains "port P1 is paperout"
eventually 20 "^Laser +P1 +paper out" printers
run 0 messages && contains "no message box is waiting"   # no job, no popup

# A job now waits at the port; its popup waits for the user without holding
# the monitor: the port's state keeps reaching the printer, another trouble
# raises a box of its own, the same trouble no second one, and the job prints
# once the port is ready while the boxes are still unanswered.
head -c 5000 /dev/urandom >"$WORK/job.bin"
sh_ print Laser "$WORK/job.bin" >"$WORK/print.out" 2>"$WORK/print.err" &
printer_pid=$!
await_box 20 "\[Varnhold\] Your printer Laser is Out Of Paper!"
run 0 jobs && contains "Laser +P1 +waiting for the port"

run 0 box BOX1 P1 offline
eventually 20 "^Laser +P1 +offline" printers
eventually 20 "Your printer Laser is Off Line!" messages
[ "$(grep -c "Out Of Paper" "$OUT")" -eq 1 ] || fail "one box per printer and trouble: $(cat "$OUT")"

run 0 box BOX1 P1 ready
eventually 20 "^Laser +P1 +ready" printers
wait "$printer_pid" || fail "the job that waited did not print: $(cat "$WORK/print.err")"
await_copy "$WORK/job.bin" "$BOXOUT/P1-*.prn"
run 0 messages && contains "Out Of Paper" && contains "Off Line"
run 0 messages --answer-all
run 0 messages && contains "no message box is waiting"

# Without its box the port has no report: the printer is not available.
run 0 stop
start_daemon --printbox "BOX1:P1@$BOXOUT"
eventually 20 "^Laser +P1 +ready" printers
run 0 stop
start_daemon
eventually 20 "^Laser +P1 +not available" printers
run 0 stop
finish
