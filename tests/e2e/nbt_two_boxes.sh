#!/usr/bin/env bash
# The monitor and two print boxes as three processes over NetBIOS over TCP/IP
# on loopback addresses: both boxes' ports found, jobs to each box byte for
# byte, and a port's change of state mirrored into its printer.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/nbt_lib.sh"

start_nbt_daemon 127.0.0.2
run 0 status && contains "adapter: lana 0 on nbt 127.0.0.2 \(broadcast 127.255.255.255, ports $PORTS_SLASH\), hardware address 02:00:7f:00:00:02"
start_box BOX1 127.0.0.3 --port P1 --port P2=offline && contains "printbox BOX1 started"
start_box BOX2 127.0.0.4 --port Q1
pb BOX1 status >"$OUT" 2>"$ERR" && contains "on nbt 127.0.0.3" && contains "P2=offline"

eventually 20 "^Q1$" ports
eventually 20 "^P2$" ports
contains "^P1$"
run 0 ports --level 2 && contains "^Q1 +Local Port +Print Server Port$"

run 0 add-printer Laser P1
run 0 add-printer Ink Q1
for size in 1 3068 3069 250000; do
  head -c "$size" /dev/urandom >"$WORK/laser-$size.bin"
  run 0 print Laser "$WORK/laser-$size.bin" && contains "printed: $size bytes to port P1"
  await_copy "$WORK/laser-$size.bin" "$STATE/box-BOX1/jobs/P1-*.prn"
  head -c "$size" /dev/urandom >"$WORK/ink-$size.bin"
  run 0 print Ink "$WORK/ink-$size.bin" && contains "to port Q1"
  await_copy "$WORK/ink-$size.bin" "$STATE/box-BOX2/jobs/Q1-*.prn"
done
[ -z "$(ls "$STATE/box-BOX2/jobs" | grep -v '^Q1-')" ] || fail "box BOX2 holds jobs that are not its own"
pb BOX2 status >"$OUT" 2>"$ERR" && contains "jobs: 4 printed"
grep -q "job on port Q1: complete, 250000 bytes, .*/box-BOX2/jobs/Q1-4.prn" "$STATE/box-BOX2/printbox.log" ||
  fail "the box's log should list its jobs: $(tail -3 "$STATE/box-BOX2/printbox.log")"

# The box's port changes state; the printer follows at the next ping.
pb BOX1 set-status P1 paperout >"$OUT" 2>"$ERR" || fail "set-status refused"
eventually 20 "^Laser +P1 +paper out" printers
run 0 printers && contains "^Ink +Q1 +ready"
pb BOX1 set-status P1 ready >/dev/null
eventually 20 "^Laser +P1 +ready" printers

run 0 stop
pb BOX1 stop >"$OUT" 2>"$ERR" && contains "printbox BOX1 stopped"
finish
