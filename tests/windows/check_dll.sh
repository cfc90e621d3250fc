#!/usr/bin/env bash
# Checks what TAVRO.dll asks of and offers to Windows: it imports only system
# DLLs (the C++ runtime is linked in), it calls the real NetBIOS, registry,
# spooler and window APIs, it exports InitializeMonitorEx undecorated and
# nothing else, and it carries its resources.
# Usage: check_dll.sh OBJDUMP TAVRO.dll
set -euo pipefail
objdump=$1
dll=$2
headers=$("$objdump" -p "$dll")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mapfile -t imports < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort -u)
echo "imports: ${imports[*]}"
allowed=" kernel32.dll advapi32.dll user32.dll comctl32.dll netapi32.dll winspool.drv msvcrt.dll "
for dll_name in "${imports[@]}"; do
  [[ "$allowed" == *" $dll_name "* ]] || fail "imports a DLL that is not part of Windows: $dll_name"
done
for needed in netapi32.dll advapi32.dll winspool.drv user32.dll comctl32.dll kernel32.dll; do
  [[ " ${imports[*]} " == *" $needed "* ]] || fail "does not import $needed"
done

# Imported functions, by name, under their DLL.
imported_from() {
  awk -v want="$1" 'tolower($0) ~ /dll name:/ { cur = tolower($3) }
                    cur == want && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }' <<<"$headers"
}
for fn in Netbios; do
  imported_from netapi32.dll | grep -qx "$fn" || fail "$fn is not imported from netapi32.dll"
done
for fn in RegOpenKeyExA RegEnumValueA; do
  imported_from advapi32.dll | grep -qx "$fn" || fail "$fn is not imported from advapi32.dll"
done
for fn in MessageBoxA LoadStringA; do
  imported_from user32.dll | grep -qx "$fn" || fail "$fn is not imported from user32.dll"
done

mapfile -t exports < <(awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
                             on && /^[[:space:]]*\[ *[0-9]+\]/ { print $NF; next }
                             on { on = 0 }' <<<"$headers")
echo "exports: ${exports[*]}"
[ "${exports[*]}" = "InitializeMonitorEx" ] || fail "exports should be exactly InitializeMonitorEx, not: ${exports[*]}"

"$objdump" -h "$dll" | grep -q '\.rsrc' || fail "no resource section"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "TAVRO.dll imports and exports as expected"
