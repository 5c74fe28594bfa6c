#!/bin/bash
# Tries the whole tool without hardware: builds kelvane-sim.exe (the product's window and logic
# against the built-in simulated scanner) and runs it under Wine. With a display it opens the
# window; without one, or with --check, it runs the unattended check mode (CHECKFW) on a virtual
# display. Afterwards it prints the result file result2.ini that the tool left beside itself.
#
# Environment: KV_JOBS (default 2), KV_WINDOWS_BUILD (default build-windows in the source tree).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${KV_JOBS:-2}
windows=${KV_WINDOWS_BUILD:-$root/build-windows}
run="$root/scripts/wine-run.sh"

check=0
case "${1:-}" in
    "") ;;
    --check) check=1 ;;
    *)
        echo "usage: demo.sh [--check]" >&2
        exit 2
        ;;
esac
[ -n "${DISPLAY:-}" ] || check=1

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
if ! cmake --build "$windows" -j "$jobs" --target kelvane-sim; then
    echo "demo.sh: could not build kelvane-sim (is app/win32 in this tree yet?)" >&2
    exit 1
fi

exe=$(find "$windows" -name kelvane-sim.exe -type f -print -quit)
[ -n "$exe" ] || { echo "demo.sh: kelvane-sim.exe not found under $windows" >&2; exit 1; }
result="$(dirname "$exe")/result2.ini"
rm -f "$result"

# The tool works in its own folder, as it would on Windows (flash.bin lands there too).
cd "$(dirname "$exe")"
if [ $check -eq 1 ]; then
    echo "demo.sh: running kelvane-sim.exe CHECKFW on a virtual display"
    # wine-run.sh runs it in a prefix of its own and ends that prefix's server afterwards.
    xvfb-run -a "$run" "$exe" CHECKFW
else
    echo "demo.sh: opening kelvane-sim.exe; close its window to finish"
    "$run" "$exe"
fi

if [ -f "$result" ]; then
    echo "demo.sh: $result:"
    tr -d '\r' <"$result"
else
    echo "demo.sh: the tool left no result2.ini (no version was read)"
fi
