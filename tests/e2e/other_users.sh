#!/usr/bin/env bash
# spoolhost against another local user: its state is its owner's alone, and
# whoever may not use it is told so.
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
finish
