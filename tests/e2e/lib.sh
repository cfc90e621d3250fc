# Helpers of the end-to-end tests: each test runs spoolhost as a user would,
# in a state directory of its own that is removed afterwards.
set -u

: "${SPOOLHOST:?SPOOLHOST must name the spoolhost binary}"
SCALE=${E2E_TIME_SCALE:-50}
STATE=$(mktemp -d "${TMPDIR:-/tmp}/spoolhost-e2e.XXXXXX")
WORK=$STATE/work
mkdir -p "$WORK"
FAILURES=0
EXTRA_LOGS=()  # logs of other processes of the test, checked by finish
OUT=$WORK/out
ERR=$WORK/err

cleanup() {
  # A daemon this test started and left running is stopped by its own pid.
  if [ -f "$STATE/spoolhost.pid" ]; then
    local pid
    pid=$(cat "$STATE/spoolhost.pid" 2>/dev/null || true)
    if [ -n "$pid" ] && "$SPOOLHOST" --state "$STATE" status >/dev/null 2>&1; then
      "$SPOOLHOST" --state "$STATE" stop --force >/dev/null 2>&1 || kill "$pid" 2>/dev/null || true
    fi
  fi
  if [ "$FAILURES" -ne 0 ]; then
    echo "--- daemon log"; cat "$STATE/spoolhost.log" 2>/dev/null | tail -40
    grep -A60 -m1 "Sanitizer" "$STATE/spoolhost.log" 2>/dev/null | head -80
    echo "--- monitor log"; cat "$STATE/windows/TAVRO.log" 2>/dev/null | tail -40
  fi
  rm -rf "$STATE"
}
trap cleanup EXIT

sh_() { "$SPOOLHOST" --state "$STATE" "$@"; }

fail() {
  echo "FAIL: $*"
  echo "  stdout: $(head -c 2000 "$OUT" 2>/dev/null)"
  echo "  stderr: $(head -c 2000 "$ERR" 2>/dev/null)"
  FAILURES=$((FAILURES + 1))
}

# run CODE ARGS...: runs spoolhost and checks its exit status.
run() {
  local want=$1
  shift
  local got=0
  sh_ "$@" >"$OUT" 2>"$ERR" || got=$?
  if [ "$got" -ne "$want" ]; then
    fail "spoolhost $* exited $got, expected $want"
    return 1
  fi
  return 0
}

# An error a user can act on: the given status and exactly one line on stderr.
run_error() {
  local want=$1
  shift
  run "$want" "$@" || return 1
  local lines
  lines=$(wc -l <"$ERR")
  if [ "$lines" -ne 1 ] || ! grep -q '^spoolhost: ' "$ERR"; then
    fail "spoolhost $* should say one line on stderr (got $lines)"
    return 1
  fi
}

contains() {
  if ! grep -qE -- "$1" "$OUT"; then
    fail "output should match /$1/"
    return 1
  fi
}

err_contains() {
  if ! grep -qiE -- "$1" "$ERR"; then
    fail "stderr should match /$1/"
    return 1
  fi
}

# eventually SECONDS PATTERN ARGS...: repeats the command until its output matches.
eventually() {
  local seconds=$1 pattern=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  while [ "$SECONDS" -le "$deadline" ]; do
    if sh_ "$@" >"$OUT" 2>"$ERR" && grep -qE -- "$pattern" "$OUT"; then return 0; fi
    sleep 0.2
  done
  fail "spoolhost $* never showed /$pattern/ within ${seconds}s"
  return 1
}

start_daemon() {
  run 0 start --time-scale "$SCALE" "$@" || exit 1
}

# A sanitizer's report in a log the test's processes wrote fails the test.
check_sanitizer_logs() {
  local log
  for log in "$STATE/spoolhost.log" "$@"; do
    if grep -qE "(Thread|Address|Leak|UndefinedBehavior)Sanitizer|runtime error:" "$log" 2>/dev/null; then
      fail "sanitizer report in $log"
      grep -A40 -m1 -E "Sanitizer|runtime error:" "$log" | head -60
    fi
  done
}

# Waits (bounded) until a process whose pid a file names has exited, so that
# what it reports as it exits is in its log.
await_exit() {
  local pid n
  pid=$(cat "$1" 2>/dev/null) || return 0
  [ -n "$pid" ] || return 0
  for n in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
}

finish() {
  await_exit "$STATE/spoolhost.pid"
  check_sanitizer_logs "${EXTRA_LOGS[@]}"
  if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES check(s) failed"
    exit 1
  fi
  echo "all checks passed"
  exit 0
}

# Like eventually, answering every waiting message box between tries (a box
# blocks the monitor's status worker until it is answered).
eventually_answering() {
  local seconds=$1 pattern=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  while [ "$SECONDS" -le "$deadline" ]; do
    if sh_ "$@" >"$OUT" 2>"$ERR" && grep -qE -- "$pattern" "$OUT"; then return 0; fi
    sh_ messages --answer-all >/dev/null 2>&1
    sleep 0.2
  done
  fail "spoolhost $* never showed /$pattern/ within ${seconds}s"
  return 1
}

# Waits for a message box whose text matches, answering the others meanwhile.
# Leaves the matching box waiting; its number is in $BOX_ID.
await_box() {
  local seconds=$1 pattern=$2
  local deadline=$((SECONDS + seconds))
  BOX_ID=
  while [ "$SECONDS" -le "$deadline" ]; do
    sh_ messages >"$OUT" 2>"$ERR"
    BOX_ID=$(grep -E -- "$pattern" "$OUT" | awk 'NR==1 {print $1}')
    [ -n "$BOX_ID" ] && return 0
    awk '/^[0-9]+ / {print $1}' "$OUT" | while read -r id; do sh_ messages --answer "$id" >/dev/null 2>&1; done
    sleep 0.2
  done
  fail "no message box /$pattern/ within ${seconds}s"
  return 1
}

# await_copy FILE GLOB: waits until a file matching GLOB holds FILE's bytes
# (a box writes its copy as the session ends, just after the job is done).
await_copy() {
  local file=$1 glob=$2 deadline=$((SECONDS + 10)) f
  while [ "$SECONDS" -le "$deadline" ]; do
    for f in $glob; do
      [ -f "$f" ] && cmp -s "$file" "$f" && return 0
    done
    sleep 0.1
  done
  fail "no copy of $(basename "$file") in $glob"
  return 1
}
