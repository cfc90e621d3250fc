#!/usr/bin/env bash
# Printers moved and renamed across restarts: the registry remembers, the
# monitor follows, and a daemon killed outright leaves the registry whole.
. "$(dirname "$0")/lib.sh"

BOXOUT=$WORK/box
BOX="BOX1:P1,P2@$BOXOUT"
start_daemon --printbox "$BOX"
eventually 20 "^P2$" ports
run 0 add-printer Laser P1
printf 'first\n' >"$WORK/a.txt"
run 0 print Laser "$WORK/a.txt" && contains "to port P1"
run 0 stop

start_daemon --printbox "$BOX"
run 0 printers && contains "^Laser +P1"
eventually 20 "^P2$" ports
run 0 rename-printer Laser Office && contains "renamed"
run 0 set-port Office P2 && contains "printer Office now prints to port P2"
run 0 printers && contains "^Office +P2" 
grep -q "^Laser" "$OUT" && fail "the old name is still listed"
printf 'second\n' >"$WORK/b.txt"
run 0 print Office "$WORK/b.txt" && contains "to port P2"
await_copy "$WORK/b.txt" "$BOXOUT/P2-*.prn"
run 0 stop

start_daemon --printbox "$BOX"
run 0 printers && contains "^Office +P2"
printf 'third\n' >"$WORK/c.txt"
run 0 print Office "$WORK/c.txt" && contains "to port P2"
await_copy "$WORK/c.txt" "$BOXOUT/P2-*.prn"
# The monitor's own key now files the printer under its new port.
eventually 20 'Varnhold\\P2\\Office\]' reg export 'System\CurrentControlSet\Control\Print\Monitors\Varnhold'

# Killed outright: the next start finds the registry as it was.
run 0 add-printer Spare P1
kill -9 "$(cat "$STATE/spoolhost.pid")"
sleep 0.5
run_error 3 printers
start_daemon --printbox "$BOX"
run 0 printers && contains "^Office +P2" && contains "^Spare +P1"
run 0 delete-printer Spare && contains "deleted"
run 0 stop
start_daemon --printbox "$BOX"
run 0 printers
grep -q "^Spare" "$OUT" && fail "a deleted printer came back"
run 0 stop
finish
