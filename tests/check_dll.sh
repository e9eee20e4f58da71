#!/usr/bin/env bash
# Inspects the product DLL: a PE32 i386 DLL (or with x86-64 its PE32+ twin) whose exports are
# CreateVXD at ordinal 1 and the calls of 1.2 after it, each under its plain name, and whose
# imports are the system, sockets, iSCSI discovery and C
# runtime libraries alone.
#   check_dll.sh DLL [OBJDUMP [i386|x86-64]]
set -uo pipefail
dll=$1
objdump=${2:-i686-w64-mingw32-objdump}
machine=${3:-i386}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -f "$dll" ] || { echo "FAIL: $dll not built (make build-win32)"; exit 1; }
headers=$("$objdump" -p "$dll") || { echo "FAIL: $objdump cannot read $dll"; exit 1; }

if [ "$machine" = x86-64 ]; then
    format=pei-x86-64 magic=020b kind="PE32+ x86-64"
else
    format=pei-i386 magic=010b kind="PE32 i386"
fi
grep -q "file format $format" <<<"$headers" || fail "not a $kind image"
grep -Eq "^Magic\s+$magic" <<<"$headers" || fail "not a $kind image (optional header magic)"
grep -A12 "^Characteristics" <<<"$headers" | grep -qw "DLL" || fail "not marked as a DLL"

# Export table rows look like "[   0] +base[   1] 1d93 Export RVA" and "[   0] CreateVXD".
ordinals=$(sed -n '/^Export Address Table/,/^\[Ordinal\/Name Pointer\] Table/p' <<<"$headers" |
    grep -Eo '\+base\[ *[0-9]+\]' | grep -Eo '[0-9]+')
names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
    grep -E '^\s*\[ *[0-9]+\]' | sed -E 's/^\s*\[ *[0-9]+\] //')
[ "$(echo $ordinals)" = "1 2 3 4 5" ] ||
    fail "export ordinals are '$(echo $ordinals)', expected 1 2 3 4 5"
[ "$(echo $names)" = "CreateVXD VxdAttach VxdDetach VxdListTargets VxdStatusText" ] ||
    fail "exported names are '$(echo $names)', expected CreateVXD VxdAttach VxdDetach" \
        "VxdListTargets VxdStatusText"

imports=$(grep -Eo 'DLL Name: .*' <<<"$headers" | sed 's/DLL Name: //' | tr 'A-Z' 'a-z' | sort -u)
allowed=$'iscsidsc.dll\nkernel32.dll\nmsvcrt.dll\nws2_32.dll'
for library in $imports; do
    grep -qx "$library" <<<"$allowed" || fail "imports from $library"
done
grep -qx "iscsidsc.dll" <<<"$imports" || fail "does not bind iscsidsc.dll at load"
grep -qx "ws2_32.dll" <<<"$imports" || fail "does not bind ws2_32.dll at load"

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "ok: $(basename "$dll"): $kind DLL, CreateVXD @1, VxdAttach @2, VxdDetach @3, VxdStatusText @4, imports: $(echo $imports)"
