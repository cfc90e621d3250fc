#!/usr/bin/env bash
# Hostile nodes on the segment, each a small script of raw packets: a silent
# connection on a port is hung up after the box's idle limit and the job
# behind it prints; a rival answering for a port name makes the call fail,
# both logs say so and the box gives the name up; a box that stops reading
# mid-job fails the job after the monitor's stall limit.
# tshark decodes everything the nodes send, conflict demands included, and
# finds nothing malformed.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/nbt_lib.sh"

HOSTILE="python3 $(dirname "$0")/hostile_node.py"
HOSTILE_PIDS=()
eval "nbt_$(declare -f nbt_cleanup)"
nbt_cleanup() {
  local pid
  for pid in "${HOSTILE_PIDS[@]}" ${CAPTURE_PID:-}; do kill "$pid" 2>/dev/null; done
  kill -CONT "$(box_pid BOX2 2>/dev/null)" 2>/dev/null
  nbt_nbt_cleanup
}
trap nbt_cleanup EXIT

# await_line FILE TEXT: within 10 s.
await_line() {
  local i
  for i in $(seq 100); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "$1 never said: $2 ($(tail -3 "$1" 2>/dev/null))"
}

NBT_OPTIONS=,stall=2 start_nbt_daemon 127.0.0.11
NS=${PORTS%%:*}
SSN=${PORTS##*:}
if command -v tshark >/dev/null; then
  CAP=$WORK/hostile.pcapng
  tshark -n -q -i lo -f "udp port $NS or tcp port $SSN" -w "$CAP" >"$WORK/tshark.log" 2>&1 &
  CAPTURE_PID=$!
  for _ in $(seq 100); do grep -q "Capturing on" "$WORK/tshark.log" && break; sleep 0.1; done
fi
start_box BOX1 127.0.0.12 --port P1 --port P2 --idle-limit 1
start_box BOX2 127.0.0.15 --port P3 --receive-delay 5
eventually 20 "^P1$" ports
eventually 20 "^P3$" ports
run 0 add-printer Laser P1
run 0 add-printer Rival P2
run 0 add-printer Deaf P3

# A connection that asks for P1 and then says nothing holds the port for one
# second, not for ever.
$HOSTILE idle 127.0.0.13 "$PORTS" 127.0.0.12 P1 >"$WORK/idle.out" 2>&1 &
HOSTILE_PIDS+=($!)
await_line "$WORK/idle.out" "session open"
head -c 50000 /dev/urandom >"$WORK/job.bin"
run 0 print Laser "$WORK/job.bin" && contains "printed: 50000 bytes to port P1"
await_copy "$WORK/job.bin" "$STATE/box-BOX1/jobs/P1-*.prn"
await_line "$WORK/idle.out" "hung up after"
grep -q "hung up after [0-2]\." "$WORK/idle.out" || fail "the box should hang up the silent session: $(cat "$WORK/idle.out")"

# A rival answers every query for P2 with its own address.
$HOSTILE rival 127.0.0.14 "$PORTS" P2 >"$WORK/rival.out" 2>&1 &
HOSTILE_PIDS+=($!)
await_line "$WORK/rival.out" "ready"
timeout 60 "$SPOOLHOST" --state "$STATE" print Rival "$WORK/job.bin" >"$WORK/rival-print.out" 2>&1 &
rival_print=$!
await_line "$STATE/spoolhost.log" 'NetBIOS name conflict: "P2" is answered from 127.0.0.12, 127.0.0.14'
await_line "$STATE/box-BOX1/printbox.log" 'NetBIOS name conflict: "P2" of this node is demanded away by 127.0.0.11'
await_line "$WORK/rival.out" "conflict demand for P2 from 127.0.0.11"
grep -q "session call" "$WORK/rival.out" && fail "the job should not reach the rival"
kill "$rival_print" 2>/dev/null
wait "$rival_print" 2>/dev/null

# A slow box that stops reading in the middle of a job (stopped, its system still
# answers TCP's probes with a shut window): the job fails within the stall
# limit instead of holding the port for ever.
head -c 32000000 /dev/zero >"$WORK/big.bin"
timeout 60 "$SPOOLHOST" --state "$STATE" print Deaf "$WORK/big.bin" >"$WORK/deaf.out" 2>"$WORK/deaf.err" &
deaf_print=$!
eventually 20 "Deaf +P3 +printing +[0-9]*[1-9][0-9]*/32000000" jobs
kill -STOP "$(box_pid BOX2)"
started=$SECONDS
status=0
wait "$deaf_print" || status=$?
kill -CONT "$(box_pid BOX2)"
[ "$status" -eq 1 ] || fail "a job to a box that never reads should fail with status 1, got $status"
grep -qE "WritePort failed after [0-9]* of (the )?32000000 bytes" "$WORK/deaf.err" ||
  fail "the failed job should say WritePort failed: $(cat "$WORK/deaf.err")"
[ $((SECONDS - started)) -le 20 ] || fail "the job took $((SECONDS - started)) s to fail"

# The job to the name in conflict still waits for its port.
run 0 stop --force
if [ -n "${CAPTURE_PID:-}" ]; then
  sleep 1
  kill -INT "$CAPTURE_PID"
  wait "$CAPTURE_PID" 2>/dev/null
  decode=(-d "udp.port==$NS,nbns" -d "tcp.port==$SSN,nbss")
  demands=$(tshark -n -r "$CAP" "${decode[@]}" -Y "nbns.flags.rcode == 7" 2>/dev/null | wc -l)
  [ "$demands" -ge 2 ] || fail "tshark should decode the conflict demands, found $demands"
  bad=$(tshark -n -r "$CAP" "${decode[@]}" -Y "_ws.malformed" 2>/dev/null)
  [ -z "$bad" ] || fail "tshark reports malformed frames: $(echo "$bad" | head -5)"
fi
finish
