#!/bin/sh
# hwid.dll imports from the same DLLs as hwid.exe (KERNEL32 and the C
# run-time) and exports the four hwid_* functions and nothing else.
#   dll_imports_test.sh HWID_DLL HWID_EXE
set -u
dll=$1
exe=$2
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
imports() {
    "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'a-z' 'A-Z' | sort -u
}
dll_imports=$(imports "$dll")
exe_imports=$(imports "$exe")
[ "$dll_imports" = "$(printf 'KERNEL32.DLL\nMSVCRT.DLL')" ] || fail "hwid.dll imports: $dll_imports"
[ "$dll_imports" = "$exe_imports" ] || fail "hwid.dll imports $dll_imports, hwid.exe $exe_imports"
exports=$("$objdump" -p "$dll" | awk '/^\[Ordinal\/Name Pointer\] Table/ {table = 1; next} table && /^\t\[/ {print $NF} table && /^$/ {table = 0}' | sort)
expected=$(printf '%s\n' hwid_get_facts hwid_get_identifier hwid_status_text hwid_version)
[ "$exports" = "$expected" ] || fail "hwid.dll exports: $exports"
[ "$failures" -eq 0 ] && echo "imports: $(echo "$dll_imports" | tr '\n' ' '); exports: $(echo "$exports" | tr '\n' ' ')"
exit "$failures"
