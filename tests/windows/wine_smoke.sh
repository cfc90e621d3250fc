#!/usr/bin/env bash
# Runs the smoke host under Wine (headless) against TAVRO.dll and checks what
# it printed and the log the module wrote in Wine's Windows directory: the
# 64-bit host and DLL under 64-bit Wine, the 32-bit ones under 32-bit Wine.
# MODE "plain" drives the operations and times an unload with idle threads;
# "held-popup" leaves the monitor's popup open across the unload.
# The Wine prefix is made on first use and reused by later runs.
# Usage: wine_smoke.sh smoke_host.exe PREFIX EXPECTED BITS MODE
set -euo pipefail
host=$1
prefix=$2
expected=$3
bits=$4
mode=$5
workdir=$(dirname "$host")

if [ "$bits" = 64 ]; then
  wine=$(command -v wine64 || true)
  [ -n "$wine" ] || wine=/usr/lib/wine/wine64
  export WINEARCH=win64
else
  # Debian's wine32 (i386) installs its loader here, beside wine64's.
  wine=/usr/lib/wine/wine
  export WINEARCH=win32
fi
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=$(ls /usr/lib/wine/wineserver* 2>/dev/null | head -n1)
[ -x "$wine" ] || { echo "$bits-bit Wine is not installed ($wine)"; exit 1; }
# Some virtual machines run no 32-bit x86 code at all (the kernel refuses the
# binary): there the 32-bit run is skipped, saying so, rather than failed.
if [ "$bits" = 32 ] && ! "$wine" --version >/dev/null 2>&1; then
  echo "SKIP: this machine cannot execute 32-bit x86 programs ($wine); the 32-bit DLL was built and checked only"
  exit 77
fi

export WINEPREFIX=$prefix WINEDEBUG=-all
# No display: Wine's null display driver keeps windows without showing them,
# so a message box waits for whoever closes it (the host plays the user).
# No Mono or Gecko installers when the prefix is made.
unset DISPLAY WAYLAND_DISPLAY
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe="

# Wine's own processes must not hold the test runner's output pipes.
if [ ! -f "$prefix/system.reg" ]; then
  echo "making the $bits-bit Wine prefix $prefix"
  "$wine" wineboot --init >"$workdir/wineboot-$mode.log" 2>&1 </dev/null
  "$wineserver" -w
fi
if ! grep -q '"Graphics"="null"' "$prefix/user.reg" 2>/dev/null; then
  "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
  "$wineserver" -w
fi

windir=$prefix/drive_c/windows
printf 'previous load\r\n' >"$windir/TAVRO.log"
rm -f "$windir/TAVRO.bak"

out=$workdir/smoke_host-$mode.out
err=$workdir/smoke_host-$mode.err
args=(TAVRO.dll)
[ "$mode" = plain ] || args+=("$mode")
status=0
(cd "$workdir" && timeout 150 "$wine" "$(basename "$host")" "${args[@]}" >"$out" 2>"$err" </dev/null) || status=$?
"$wineserver" -k >/dev/null 2>&1 </dev/null || true
cat "$err" >&2
tr -d '\r' <"$out" >"$out.txt"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# A crash in a thread the module left behind ends the host with an exception
# code instead of 0.
[ "$status" -eq 0 ] || fail "smoke host exited with $status"
if ! diff -u <(sed "s/@BITS@/$bits/" "$expected") "$out.txt"; then
  fail "smoke host output differs from $expected"
fi

log=$windir/TAVRO.log
if [ ! -f "$log" ]; then
  fail "no TAVRO.log in $windir"
else
  echo "--- TAVRO.log"
  tr -d '\r' <"$log"
  echo "---"
  first=$(head -n1 "$log")
  [[ "$first" =~ ^[0-9]{2}/[0-9]{2}/[0-9]{2}[0-9]{2}:[0-9]{2}:[0-9]{2}Initialize\ Print\ Monitor\ Log\ File$'\r'$ ]] ||
    fail "first log line is not the load line (with CRLF): '$first'"
  # Wine's NetBIOS knows one adapter but refuses group names and datagrams:
  # start-up logs the refusals and goes on.
  expected_lines=('InitMonitor nw.bLanaNum: 00' 'InitMonitor AddName Group ret: 03'
                  'InitMonitor AddName QDLGroup ret: 03' 'Refresh thread Lana: 00')
  if [ "$mode" = plain ]; then
    expected_lines+=('GetPortSize Illegal value: Level: 3')
    grep -q 'threads still running' "$log" && fail "an idle thread outlived the unload"
  else
    expected_lines+=('ShutdownMonitor a popup still open, module pinned')
  fi
  for line in "${expected_lines[@]}"; do
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
echo "TAVRO.dll ($bits-bit) smoke test '$mode' under Wine passed"
