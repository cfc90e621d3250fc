#!/usr/bin/env bash
# spoolhost and two print boxes as three hosts on one bridged segment, over
# NetBIOS over TCP/IP on the standard ports: the monitor finds both boxes'
# ports, prints a job to each byte for byte, and mirrors a port's new state.
. "$(dirname "$0")/netns_lib.sh"

netns_setup
netns_host spool 2
netns_host boxa 3
netns_host boxb 4

start_box boxa 3 BOXA --port A1 --port A2=offline
start_box boxb 4 BOXB --port B1 --port B2
start_spoolhost spool 2
contains "started in .*Varnhold initialised"

# Discovery across hosts: every port of both boxes, with its state.
eventually 30 "^B2$" ports --level 1
for port in A1 A2 B1; do contains "^$port$"; done
run 0 ports --level 2 && contains "^A1 +Local Port +Print Server Port$"

run 0 add-printer LaserA A1
run 0 add-printer LaserB B1
eventually 30 "^LaserB +B1 +ready" printers
eventually 30 "^LaserA +A1 +ready" printers

# A job to each box: what each box wrote is what was printed, and the other
# box got nothing of it. Both jobs take many packets.
head -c 10000 /dev/urandom >"$WORK/job-a.bin"
head -c 250000 /dev/urandom >"$WORK/job-b.bin"
run 0 print LaserA "$WORK/job-a.bin" && contains "job [0-9]+ printed: 10000 bytes to port A1"
run 0 print LaserB "$WORK/job-b.bin" && contains "job [0-9]+ printed: 250000 bytes to port B1"
await_copy "$WORK/job-a.bin" "$WORK/BOXA.out/A1-*.prn"
await_copy "$WORK/job-b.bin" "$WORK/BOXB.out/B1-*.prn"
[ "$(ls "$WORK/BOXA.out" | wc -l)" -eq 1 ] || fail "box A should hold one job, has: $(ls "$WORK/BOXA.out")"
[ "$(ls "$WORK/BOXB.out" | wc -l)" -eq 1 ] || fail "box B should hold one job, has: $(ls "$WORK/BOXB.out")"

# Ports change state on their own hosts; the monitor mirrors each.
box_ BOXB set-status B1 paperout >"$OUT" 2>"$ERR" || fail "printbox set-status B1 paperout"
box_ BOXA set-status A1 offline >"$OUT" 2>"$ERR" || fail "printbox set-status A1 offline"
eventually 30 "^LaserB +B1 +paper out" printers
eventually 30 "^LaserA +A1 +offline" printers
box_ BOXB set-status B1 ready >"$OUT" 2>"$ERR" || fail "printbox set-status B1 ready"
eventually 30 "^LaserB +B1 +ready" printers

# The port that was off line from the start comes up and takes a job.
box_ BOXA set-status A2 ready >"$OUT" 2>"$ERR" || fail "printbox set-status A2 ready"
run 0 add-printer InkA A2
eventually 30 "^InkA +A2 +ready" printers
printf 'ink job\n' >"$WORK/ink.txt"
run 0 print InkA "$WORK/ink.txt" && contains "to port A2"
await_copy "$WORK/ink.txt" "$WORK/BOXA.out/A2-*.prn"
box_ BOXA status >"$OUT" 2>"$ERR" || fail "printbox status of box A"
contains "A1=offline" && contains "A2=ready" && contains "jobs: 2 printed"

run 0 stop
finish
