#!/usr/bin/env bash
# Printing from CUPS through the varnhold backend: a private cupsd (its own
# configuration and socket in the test's folder) with the backend installed
# as CUPS needs it, spoolhost as a separate process over nbt, and two print
# boxes, one of them a slow printer. The ports are listed by lpinfo, a raw
# queue prints byte for byte (and its copies), a port out of paper shows in
# lpstat while the job waits, cancel ends the spoolhost job, and a box that
# dies mid-job leaves the job with CUPS, which prints it once the box is back.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/nbt_lib.sh"
. "$(dirname "$0")/../support/private_cupsd.sh"
: "${VARNHOLD_BACKEND:?VARNHOLD_BACKEND must name the backend binary}"

# Apart from spoolhost's state, which spoolhost keeps to its owner alone.
CUPSDIR=$(mktemp -d "${TMPDIR:-/tmp}/cupsd-e2e.XXXXXX")
eval "nbt_$(declare -f nbt_cleanup)"
nbt_cleanup() {
  if [ "$FAILURES" -ne 0 ] && [ -f "$CUPSDIR/log/error_log" ]; then
    echo "--- cupsd log (backend lines)"
    grep -E "varnhold|\[Job [0-9]+\] (INFO|ERROR|STATE|Backend)" "$CUPSDIR/log/error_log" | tail -40
  fi
  cupsd_stop
  rm -rf "$CUPSDIR"
  if [ -n "${LPSTATE:-}" ]; then
    kill "$(cat "$LPSTATE/spoolhost.pid" 2>/dev/null)" 2>/dev/null
    await_exit "$LPSTATE/spoolhost.pid"
    rm -rf "$LPSTATE"
  fi
  nbt_nbt_cleanup
}
trap nbt_cleanup EXIT

EXTRA_LOGS+=("$CUPSDIR/log/error_log")  # the backend's sanitizer reports land there
if ! cupsd_start "$CUPSDIR" "$VARNHOLD_BACKEND" "$STATE"; then
  echo "SKIP: no private cupsd here: $CUPSD_WHY"
  trap - EXIT
  nbt_cleanup >/dev/null 2>&1
  exit 77
fi

# cups CMD ARGS...: a CUPS client command against the private cupsd.
cups() { "$@" >"$OUT" 2>"$ERR" || fail "$* exited $?"; }
# cups_eventually SECONDS PATTERN CMD ARGS...: until the command's output matches.
cups_eventually() {
  local seconds=$1 pattern=$2 deadline
  shift 2
  deadline=$((SECONDS + seconds))
  while [ "$SECONDS" -le "$deadline" ]; do
    "$@" >"$OUT" 2>"$ERR" && grep -qE -- "$pattern" "$OUT" && return 0
    sleep 0.2
  done
  fail "$* never showed /$pattern/ within ${seconds}s"
  return 1
}
# lp_job QUEUE FILE [LP-OPTIONS...]: submits FILE and sets JOB to its CUPS job id.
lp_job() {
  local queue=$1 file=$2
  shift 2
  JOB=
  cups lp -d "$queue" "$@" "$file" && JOB=$(sed -n 's/^request id is \([^ ]*\) .*/\1/p' "$OUT")
  [ -n "$JOB" ] || fail "lp -d $queue gave no job id"
}
# completed JOB: the job has left the queue, printed.
completed() { cups_eventually "${2:-30}" "^$1 " lpstat -W completed -o; }

start_nbt_daemon 127.0.0.12
start_box BOX1 127.0.0.13 --port P1 --port P2
# A slow printer, so a large job is still going when its box dies.
start_box BOX2 127.0.0.14 --port P3 --receive-delay 5
eventually 20 "^P3$" ports
eventually 20 "^P2$" ports

cups_eventually 30 '^network varnhold://P1$' lpinfo -v
contains '^network varnhold://P2$' && contains '^network varnhold://P3$'

cups lpadmin -p Office -E -v varnhold://P1 -m raw
cups lpadmin -p Slow -E -v varnhold://P3 -m raw
cups lpstat -v Office && contains "device for Office: varnhold://P1"

# A 5 MB job, byte for byte; the queue's printer appears in spoolhost.
head -c 5000000 /dev/urandom >"$WORK/big.bin"
lp_job Office "$WORK/big.bin"
completed "$JOB"
await_copy "$WORK/big.bin" "$STATE/box-BOX1/jobs/P1-*.prn"
run 0 printers && contains "^Office +P1 +ready"

# Out of paper: the queue says so and the job (two copies) waits until
# paper is back.
pb BOX1 set-status P1 paperout >/dev/null || fail "set-status refused"
eventually 20 "^Office +P1 +paper out" printers
printf 'after the paper came back\n' >"$WORK/paper.txt"
lp_job Office "$WORK/paper.txt" -n 2
cups_eventually 30 "media-empty" lpstat -l -p Office
cups_eventually 10 "Office +P1 +waiting for the port" "$SPOOLHOST" --state "$STATE" jobs
cups lpstat -o Office && contains "^$JOB "
pb BOX1 set-status P1 ready >/dev/null
completed "$JOB"
await_copy "$WORK/paper.txt" "$STATE/box-BOX1/jobs/P1-*.prn"
copies=0
for f in "$STATE"/box-BOX1/jobs/P1-*.prn; do cmp -s "$f" "$WORK/paper.txt" && copies=$((copies + 1)); done
[ "$copies" -eq 2 ] || fail "lp -n 2 should reach the box twice, reached it $copies times"
cups lpstat -l -p Office
grep -q "media-empty" "$OUT" && fail "the media-empty reason should be gone once the job printed"

# cancel of a printing job ends the spoolhost job; the box gets no more of it.
head -c 32000000 /dev/urandom >"$WORK/huge.bin"
lp_job Slow "$WORK/huge.bin"
eventually 60 "Slow +P3 +printing +[0-9]*[1-9][0-9]*/32000000" jobs
cups cancel "$JOB"
eventually 20 "Slow +P3 +cancelled" jobs
cups_eventually 10 "job-canceled-by-user" lpstat -W completed -l -o Slow
for f in "$STATE"/box-BOX2/jobs/P3-*.prn; do
  [ -f "$f" ] && [ "$(stat -c %s "$f")" -ge 32000000 ] && fail "the cancelled job reached the box whole"
done

# The slow box dies mid-job: the backend gives the job back to CUPS, which
# keeps it and prints it whole once the box is back.
lp_job Slow "$WORK/huge.bin"
eventually 60 "Slow +P3 +printing +[0-9]*[1-9][0-9]*/32000000" jobs
kill -9 "$(box_pid BOX2)"
eventually 30 "Slow +P3 +failed" jobs
cups_eventually 20 "offline-report" lpstat -l -p Slow
cups lpstat -o Slow && contains "^$JOB "
start_box BOX2 127.0.0.14 --port P3
completed "$JOB" 90
await_copy "$WORK/huge.bin" "$STATE/box-BOX2/jobs/P3-*.prn"
grep -q "Backend returned status 6" "$CUPSDIR/log/error_log" ||
  fail "cupsd should have seen the backend give the job back (status 6)"

cupsd_stop
run 0 stop

# Run as root, the backend becomes the user whose spoolhost it asks, and
# uses no state folder others may enter; run as another user it says how
# it must be installed.
LPSTATE=$(mktemp -d "${TMPDIR:-/tmp}/spoolhost-lp.XXXXXX")
chown lp:lp "$LPSTATE"
as_lp() { setpriv --reuid=lp --regid=lp --clear-groups "$@"; }
if as_lp "$SPOOLHOST" --state "$LPSTATE" start --time-scale "$SCALE" --printbox "LPBOX:Q1" >"$OUT" 2>"$ERR"; then
  deadline=$((SECONDS + 20))
  until SPOOLHOST_STATE=$LPSTATE "$VARNHOLD_BACKEND" >"$OUT" 2>"$ERR" && grep -q varnhold://Q1 "$OUT"; do
    [ "$SECONDS" -le "$deadline" ] || break
    sleep 0.2
  done
  contains '^network varnhold://Q1 "Varnhold print server port" "Q1 \(Varnhold\)"$'
  err_contains "^DEBUG: asking spoolhost in $LPSTATE as uid $(id -u lp)$"
  setpriv --reuid=nobody --regid=nogroup --clear-groups env SPOOLHOST_STATE="$LPSTATE" "$VARNHOLD_BACKEND" >"$OUT" 2>"$ERR"
  [ ! -s "$OUT" ] || fail "another user's backend should list nothing"
  err_contains "^ERROR: cannot open spoolhost's state folder $LPSTATE: Permission denied .*install it mode 0700"
  chmod 755 "$LPSTATE"
  SPOOLHOST_STATE=$LPSTATE "$VARNHOLD_BACKEND" >"$OUT" 2>"$ERR"
  [ ! -s "$OUT" ] || fail "a state folder open to others should not be used"
  err_contains "^ERROR: $LPSTATE is open to other users \(mode 755\)"
  chmod 700 "$LPSTATE"
  as_lp "$SPOOLHOST" --state "$LPSTATE" stop >/dev/null 2>&1 || fail "lp's spoolhost did not stop"
else
  fail "spoolhost did not start as user lp: $(cat "$ERR")"
fi
await_exit "$LPSTATE/spoolhost.pid"
finish
