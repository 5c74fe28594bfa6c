#!/bin/bash
# Checks the programs of a Windows build folder:
# - every program imports only system DLLs: a MinGW runtime DLL (libstdc++, libgcc,
#   libwinpthread) would be missing on a user's machine;
# - the products kelvane.exe and kelvane-cli.exe carry no simulator code (namespace sim).
#   scripts/check-windows-build.sh BUILD_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: check-windows-build.sh BUILD_DIR" >&2; exit 2; }

bad=0
count=0
while IFS= read -r -d '' exe; do
    count=$((count + 1))
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    runtime=$(grep -i '^lib' <<<"$dlls" || true)
    if [ -n "$runtime" ]; then
        echo "check-windows-build: $exe needs $(echo $runtime)" >&2
        bad=1
    fi
done < <(find "$1" -name '*.exe' -type f -not -path '*/wineprefix/*' -not -path '*/wine-template/*' -not -path '*/wine-runs/*' -not -path '*/CMakeFiles/*' -print0)
[ $bad -eq 0 ] && echo "check-windows-build: $count programs import only system DLLs"

# The products: the window program and the console program.
for name in kelvane.exe kelvane-cli.exe; do
    product=$(find "$1" -name "$name" -type f -not -path '*/wineprefix/*' -not -path '*/wine-template/*' -not -path '*/wine-runs/*' -print -quit)
    [ -n "$product" ] || continue
    sim_symbols=$(x86_64-w64-mingw32-nm -C "$product" | grep -c ' sim::' || true)
    if [ "$sim_symbols" -ne 0 ]; then
        echo "check-windows-build: $product contains $sim_symbols simulator symbols" >&2
        bad=1
    else
        echo "check-windows-build: $name contains no simulator code"
    fi
done
exit $bad
