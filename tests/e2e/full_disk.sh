#!/usr/bin/env bash
# Settings on a full file system: the Configure dialog says it could not store
# them, spoolhost fails the command, and a restart finds what was stored before.
# A job that cannot be spooled fails in one line and is never reported stored.
. "$(dirname "$0")/lib.sh"

skip() {
  echo "SKIP: $*"
  exit 77
}

# The state folder is a small tmpfs of its own; the client's output stays
# outside it, where there is room.
WORK=$(mktemp -d "${TMPDIR:-/tmp}/spoolhost-e2e-work.XXXXXX")
OUT=$WORK/out
ERR=$WORK/err
if ! mount -t tmpfs -o size=8m,mode=0700 tavro-e2e "$STATE" 2>/dev/null; then
  rm -rf "$WORK"
  skip "cannot mount a tmpfs here (needs root and a system that allows mounts)"
fi
unmount_state() {
  cleanup 2>/dev/null
  umount "$STATE" 2>/dev/null
  rmdir "$STATE" 2>/dev/null
  rm -rf "$WORK"
}
trap unmount_state EXIT

start_daemon --printbox "BOX1:P1"
eventually 20 "^P1$" ports
run 0 configure P1 --offline on --out-of-paper off --no-response off --timer 20
STORED="popups on off line on, out of paper off, no response off; status update every 20 s"
contains "$STORED"
run 0 add-printer Laser P1
head -c 100000 /dev/urandom >"$WORK/job.bin"

# Fill the file system to its last byte.
dd if=/dev/zero of="$STATE/filler" bs=64k status=none 2>/dev/null
dd if=/dev/zero of="$STATE/filler2" bs=1 status=none 2>/dev/null
run 1 configure P1 --offline off --out-of-paper on --timer 30
grep -q "message box: \[Varnhold\] Varnhold could not store the settings; they stay as they were" "$OUT" ||
  fail "no message that the settings were not stored"
err_contains "nothing was stored"
run_error 1 print Laser "$WORK/job.bin" && err_contains "No space left on device"
run 0 jobs
grep -q "done" "$OUT" && fail "a job that could not be spooled is listed done"
# Memory keeps what the registry holds.
run 0 configure P1 --cancel && contains "the settings stay: $STORED"

rm -f "$STATE/filler" "$STATE/filler2"
run 0 stop
start_daemon --printbox "BOX1:P1"
eventually 20 "^P1$" ports
run 0 configure P1 --cancel && contains "the settings stay: $STORED"
run 0 stop
finish
