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
# Standard input that is a file already read into: the job is the rest of it.
{ dd bs=1000 count=1 of=/dev/null status=none && sh_ print Laser -; } <"$WORK/job-6136.bin" >"$OUT" 2>"$ERR" ||
  fail "print from a file partly read failed: $(cat "$ERR")"
tail -c 5136 "$WORK/job-6136.bin" >"$WORK/rest.bin"
await_copy "$WORK/rest.bin" "$BOXOUT/P1-*.prn"

# A second printer on the other port; jobs list both.
run 0 add-printer Ink P2
printf 'ink job\n' >"$WORK/ink.txt"
run 0 print Ink "$WORK/ink.txt" && contains "to port P2"
await_copy "$WORK/ink.txt" "$BOXOUT/P2-*.prn"
run 0 jobs && contains "Laser +P1 +done" && contains "Ink +P2 +done"

# Copies: the job is spooled once and each copy is a job of its own at the box.
run 0 print Ink "$WORK/ink.txt" --copies 3 && contains "printed: 8 bytes to port P2, 3 copies"
copies=0
for f in "$BOXOUT"/P2-*.prn; do cmp -s "$f" "$WORK/ink.txt" && copies=$((copies + 1)); done
[ "$copies" -eq 4 ] || fail "the box should hold the ink job 4 times (1 + 3 copies), holds it $copies times"

# A job from a stream that never ends prints as it comes, until cancelled at
# its port: its client hears so.
sh_ print Laser - </dev/zero >"$WORK/zero.out" 2>"$WORK/zero.err" &
zero_pid=$!
eventually 20 "Laser +P1 +printing +[0-9]*[1-9][0-9]*/" jobs
zero_id=$(awk '$2 == "Laser" && $4 == "printing" {print $1}' "$OUT")
run 0 cancel "$zero_id" && contains "^job $zero_id cancelled$"
status=0
wait "$zero_pid" || status=$?
[ "$status" -eq 1 ] || fail "the cancelled job's client should exit 1, got $status"
grep -q "^spoolhost: job $zero_id cancelled$" "$WORK/zero.err" || fail "its client should hear: $(cat "$WORK/zero.err")"
run 0 jobs && contains "^$zero_id +Laser +P1 +cancelled"
run_error 1 cancel 1 && err_contains "job 1 has ended already: done"
find "$BOXOUT" -name 'P1-*.prn' -size +1M -delete

# A job of 1 GiB from a pipe: the daemon (its in-process box included) holds
# a piece of it at a time. A sanitizer's runtime has a memory of its own.
size=$((1 << 30))
[ -n "${E2E_SANITIZE:-}" ] && size=$((64 << 20))
head -c "$size" /dev/zero | sh_ print Laser - >"$OUT" 2>"$ERR" || fail "the large job failed: $(cat "$ERR")"
contains "printed: $size bytes to port P1"
peak=$(awk '/^VmHWM:/ {print $2}' "/proc/$(cat "$STATE/spoolhost.pid")/status")
if [ -z "${E2E_SANITIZE:-}" ] && [ "${peak:-0}" -ge $((64 << 10)) ]; then
  fail "the daemon's peak RSS was ${peak} kB printing a 1 GiB job; it should stay under 64 MiB"
fi
copy=$(find "$BOXOUT" -name 'P1-*.prn' -size "${size}c")
[ -n "$copy" ] && cmp -s -n "$size" "$copy" /dev/zero || fail "the box holds no whole copy of the large job"
rm -f $copy
[ -z "$(ls "$STATE/spool" | grep -v next-id)" ] || fail "the spool folder keeps files of ended jobs: $(ls "$STATE/spool")"

# A job on a port whose box reports a state the monitor does not know (0x15)
# fails, and says so, rather than hanging or claiming success.
run 0 box BOX1 P2 0x15
sleep 2
run 1 print Ink "$WORK/ink.txt" && err_contains "job [0-9]+ failed"
run 0 box BOX1 P2 ready
run 0 stop
finish
