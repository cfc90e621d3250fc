#!/usr/bin/env bash
# The Configure dialog played from the command line: settings stored in the
# monitor's key, a refused interval, Cancel, and settings kept across a restart.
. "$(dirname "$0")/lib.sh"

start_daemon --printbox "BOX1:P1,P2"
eventually 20 "^P1$" ports
MONKEY='System\CurrentControlSet\Control\Print\Monitors\Varnhold'

run 0 configure P1 --offline on --out-of-paper on --no-response off --timer 20
contains "port P1: popups on off line on, out of paper on, no response off; status update every 20 s"
run 0 reg export "$MONKEY"
contains '"Timer"=dword:00000014'
grep -A3 -F "\\Varnhold\\P1]" "$OUT" >"$WORK/p1" || fail "no key for port P1"
grep -q '"Offline"=hex:01' "$WORK/p1" || fail "Offline not stored: $(cat "$WORK/p1")"
grep -q '"OutOfPaper"=hex:01' "$WORK/p1" || fail "OutOfPaper not stored"
grep -q '"NoResponse"=hex:00' "$WORK/p1" || fail "NoResponse not stored"

# An interval below 16 s is refused by the dialog, with its message.
run 1 configure P1 --timer 5
grep -q "message box: \[Varnhold\] The timer interval must be between 16 and 999" "$OUT" || fail "no range message"
err_contains "refused"
run 0 reg export "$MONKEY" && contains '"Timer"=dword:00000014'

# Cancel stores nothing.
run 0 configure P1 --cancel && contains "cancelled; the settings stay: popups on off line on, out of paper on"

# The dialog shows what is stored.
run 0 configure P1 --no-response on && contains "off line on, out of paper on, no response on; status update every 20 s"

run 0 stop
start_daemon --printbox "BOX1:P1,P2"
eventually 20 "^P1$" ports
run 0 configure P1 --cancel && contains "off line on, out of paper on, no response on; status update every 20 s"
run 0 stop
finish
