#!/bin/bash
# Checks that every Windows program of a build folder imports only system DLLs: a MinGW runtime
# DLL (libstdc++, libgcc, libwinpthread) would be missing on a user's machine.
#   scripts/check-imports.sh BUILD_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: check-imports.sh BUILD_DIR" >&2; exit 2; }

bad=0
count=0
while IFS= read -r -d '' exe; do
    count=$((count + 1))
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    runtime=$(grep -i '^lib' <<<"$dlls" || true)
    if [ -n "$runtime" ]; then
        echo "check-imports: $exe needs $(echo $runtime)" >&2
        bad=1
    fi
done < <(find "$1" -name '*.exe' -type f -not -path '*/wineprefix/*' -not -path '*/CMakeFiles/*' -print0)

[ $bad -eq 0 ] && echo "check-imports: $count programs import only system DLLs"
exit $bad
