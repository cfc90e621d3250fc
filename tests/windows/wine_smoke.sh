#!/usr/bin/env bash
# Runs the smoke host under Wine (headless) against TAVRO.dll and checks what
# it printed and the log the module wrote in Wine's Windows directory.
# The Wine prefix is made on first use and reused by later runs.
# Usage: wine_smoke.sh smoke_host.exe PREFIX EXPECTED
set -euo pipefail
host=$1
prefix=$2
expected=$3
workdir=$(dirname "$host")

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=$(ls /usr/lib/wine/wineserver* 2>/dev/null | head -n1)
[ -x "$wine" ] || { echo "wine64 is not installed"; exit 1; }

export WINEPREFIX=$prefix WINEDEBUG=-all WINEARCH=win64
# No display: message boxes fail at once instead of waiting for a user;
# no Mono or Gecko installers when the prefix is made.
unset DISPLAY WAYLAND_DISPLAY
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe="

# Wine's own processes must not hold the test runner's output pipes.
if [ ! -f "$prefix/system.reg" ]; then
  echo "making the Wine prefix $prefix"
  "$wine" wineboot --init >"$workdir/wineboot.log" 2>&1 </dev/null
  "$wineserver" -w
fi

windir=$prefix/drive_c/windows
printf 'previous load\r\n' >"$windir/TAVRO.log"
rm -f "$windir/TAVRO.bak"

out=$workdir/smoke_host.out
err=$workdir/smoke_host.err
status=0
(cd "$workdir" && timeout 120 "$wine" "$(basename "$host")" TAVRO.dll >"$out" 2>"$err" </dev/null) || status=$?
"$wineserver" -k >/dev/null 2>&1 </dev/null || true
cat "$err" >&2
tr -d '\r' <"$out" >"$out.txt"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[ "$status" -eq 0 ] || fail "smoke host exited with $status"
if ! diff -u "$expected" "$out.txt"; then
  fail "smoke host output differs from $expected"
fi

log=$windir/TAVRO.log
if [ ! -f "$log" ]; then
  fail "no TAVRO.log in $windir"
else
  echo "--- TAVRO.log"
  cat "$log" | tr -d '\r'
  echo "---"
  first=$(head -n1 "$log")
  [[ "$first" =~ ^[0-9]{2}/[0-9]{2}/[0-9]{2}[0-9]{2}:[0-9]{2}:[0-9]{2}Initialize\ Print\ Monitor\ Log\ File$'\r'$ ]] ||
    fail "first log line is not the load line (with CRLF): '$first'"
  # Wine's NetBIOS knows one adapter but refuses group names and datagrams:
  # start-up logs the refusals and goes on.
  for line in 'InitMonitor nw.bLanaNum: 00' 'InitMonitor AddName Group ret: 03' 'InitMonitor AddName QDLGroup ret: 03' \
              'Refresh thread Lana: 00' 'GetPortSize Illegal value: Level: 3'; do
    grep -qF "$line" "$log" || fail "no log line '$line'"
  done
  grep -q 'InitializeMonitorEx InitMonitor failed' "$log" && fail "start-up failed"
fi
[ -f "$windir/TAVRO.bak" ] && grep -q '^previous load' "$windir/TAVRO.bak" ||
  fail "the previous log was not kept as TAVRO.bak"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "TAVRO.dll smoke test under Wine passed"
