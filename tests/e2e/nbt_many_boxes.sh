#!/usr/bin/env bash
# Fifty print boxes in one printbox process, each its own node on its own
# address, and the monitor: every port of every box is listed after the first
# ping the boxes hear, no datagram is lost, the process keeps no thread per
# box, and a job reaches the last port of the last box.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/nbt_lib.sh"

# A ping round (60 to 69 s of module time) lasts 6 s or more of real time
# here: long enough to see what the first round brought before the second.
SCALE=10
BOXES=50
PORTS_PER_BOX=11

# The boxes come up first: the monitor pings at once when it starts, and a
# box still registering its name then would only answer the second ping.
ports=()
for p in $(seq 1 $PORTS_PER_BOX); do ports+=(--port "P$p"); done
start_box RACK 127.0.1.1 --boxes $BOXES "${ports[@]}" && contains "printbox RACK1\.\.RACK$BOXES started"
start_nbt_daemon 127.0.0.2

threads=$(awk '/^Threads:/ {print $2}' "/proc/$(box_pid RACK)/status")
[ "$threads" -le $((BOXES * 3 + 10)) ] || fail "$BOXES idle boxes should not keep $threads threads"

want=$((BOXES * PORTS_PER_BOX))
deadline=$((SECONDS + 60))
while :; do
  # The pings the first box had heard before the listing was asked for, so
  # that a slow listing (a sanitizer's build) cannot count the next round.
  heard=$(pb RACK status 2>/dev/null | awk '/^pings heard:/ {print $3}')
  sh_ ports >"$OUT" 2>"$ERR"
  listed=$(grep -cE '^P[0-9]+-[0-9]+$' "$OUT")
  [ "$listed" -ge "$want" ] && break
  [ $SECONDS -lt $deadline ] || break
  sleep 0.2
done
[ "$listed" -eq "$want" ] || fail "$listed of $want ports listed"
[ "${heard:-0}" -le 1 ] || fail "every port should be listed after the first ping; the box had heard $heard"
run 0 status && contains "datagrams dropped 0$"

run 0 add-printer Last "P11-$BOXES"
head -c 100000 /dev/urandom >"$WORK/last.bin"
run 0 print Last "$WORK/last.bin" && contains "to port P11-$BOXES"
await_copy "$WORK/last.bin" "$STATE/box-RACK/jobs/P11-$BOXES-*.prn"
pb RACK status >"$OUT" 2>"$ERR" && contains "jobs: 1 printed"

run 0 stop
pb RACK stop >"$OUT" 2>"$ERR" && contains "stopped"
finish
