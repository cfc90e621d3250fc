#!/usr/bin/env bash
# A slow printer on another host: the monitor hands over the end of the job
# and hangs up long before the box has taken it all. Every byte still
# arrives, and the box files the job as complete, however long that takes.
. "$(dirname "$0")/netns_lib.sh"

netns_setup
netns_host spool 2
netns_host box 3
# Small socket buffers on both hosts, so that much of the job still waits in
# the monitor's own queue when it hangs up, not in the system's buffers.
for host in spool box; do
  in_host "$host" sysctl -qw net.ipv4.tcp_rmem="4096 16384 32768" net.ipv4.tcp_wmem="4096 16384 32768" ||
    fail "cannot set the socket buffers of host $host"
done

# About 30 KB a second: a piece of the job, then 100 ms of printing.
start_box box 3 BOX --port P1 --receive-delay 100
start_spoolhost spool 2
eventually 30 "^P1$" ports
run 0 add-printer Laser P1
eventually 30 "^Laser +P1 +ready" printers

head -c 800000 /dev/urandom >"$WORK/job.bin"
run 0 print Laser "$WORK/job.bin" && contains "printed: 800000 bytes to port P1"
done_at=$SECONDS
deadline=$((SECONDS + 60))
until box_ BOX status >"$OUT" 2>"$ERR" && grep -qE "jobs: 1 printed|, [1-9][0-9]* incomplete" "$OUT"; do
  [ "$SECONDS" -lt "$deadline" ] || break
  sleep 0.5
done
contains "jobs: 1 printed, 0 incomplete"
await_copy "$WORK/job.bin" "$WORK/BOX.out/P1-*.prn"
# The test means something only if the box was still printing well after
# the monitor had hung up.
[ $((SECONDS - done_at)) -ge 6 ] || fail "the box took only $((SECONDS - done_at)) s after the hang-up; the test printer is too fast"
run 0 stop
finish
