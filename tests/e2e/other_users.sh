#!/usr/bin/env bash
# spoolhost against another local user and a read-only disk: its state is its
# owner's alone, and whoever may not use it is told so, in one line.
. "$(dirname "$0")/lib.sh"

as_other() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
if [ "$(id -u)" -ne 0 ] || ! as_other true 2>/dev/null; then
  echo "SKIP: acting as another user needs root and setpriv"
  exit 77
fi

start_daemon --printbox "BOX1:P1"
got=0
as_other "$SPOOLHOST" --state "$STATE" status >"$OUT" 2>"$ERR" || got=$?
[ "$got" -eq 1 ] || fail "another user's status exited $got, expected 1"
err_contains "^spoolhost: permission denied on $STATE/spoolhost.sock$"
run 0 stop

# A state folder of another user's is not used, nor changed.
OTHER=$WORK/other
mkdir "$OTHER" && chown nobody "$OTHER" && chmod 755 "$OTHER"
STATE=$OTHER run_error 1 start && err_contains "belongs to another user"
[ "$(stat -c %a "$OTHER")" = 755 ] || fail "another user's folder was changed"
[ ! -e "$OTHER/spoolhost.pid" ] || fail "another user's folder was written"

# A read-only disk: one line naming the file that cannot be written.
DISK=$WORK/disk
mkdir "$DISK"
if mount -t tmpfs -o size=4m tmpfs "$DISK" 2>/dev/null; then
  STATE=$DISK/state start_daemon
  STATE=$DISK/state run 0 stop
  mount -o remount,ro "$DISK"
  STATE=$DISK/state run_error 1 start && err_contains "Read-only file system"
  [ ! -e "$DISK/state/registry.db-shm" ] || fail "a read-only start left registry.db-shm behind"
  umount "$DISK"
else
  echo "SKIP: no tmpfs can be mounted here; the read-only disk is not tried"
fi
finish
