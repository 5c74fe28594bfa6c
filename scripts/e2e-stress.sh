#!/bin/bash
# Runs a Windows tier of a built Windows tree (the end-to-end tier, or another CTest label) N
# times in a row with one CPU-bound busy process per core beside it (or none with --idle), to
# show that no case depends on the speed of the machine. Each run's result and time are
# printed; exits nonzero if any run failed. The CTest run is the test command's own.
#
#   scripts/e2e-stress.sh [--idle] [--label LABEL] [N]   (default LABEL e2e, N = 3;
#                                   KV_WINDOWS_BUILD and KV_E2E_LANES as in test.sh)
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/wine-lib.sh"
windows=${KV_WINDOWS_BUILD:-$root/build-windows}
lanes=${KV_E2E_LANES:-2}
busy=$(nproc)
label=e2e
while [ $# -gt 0 ]; do
    case $1 in
    --idle) busy=0 ;;
    --label) label=$2; shift ;;
    *) break ;;
    esac
    shift
done
runs=${1:-3}
[ -f "$windows/CTestTestfile.cmake" ] || { echo "e2e-stress: build $windows first" >&2; exit 2; }

loops=()
stop_loops() { [ ${#loops[@]} -eq 0 ] || kill "${loops[@]}" 2>/dev/null; }
trap 'stop_loops; kv_stop_displays' EXIT
kv_wine_quiet
kv_wine_template "$windows" >/dev/null || { echo "e2e-stress: cannot boot the template prefix" >&2; exit 2; }
kv_start_displays $((lanes + 1)) "$windows/displays.json" 1 || { echo "e2e-stress: no displays" >&2; exit 2; }
for _ in $(seq 1 "$busy"); do
    bash -c 'while :; do :; done' &
    loops+=($!)
done

failures=0
for run in $(seq 1 "$runs"); do
    start=$(date +%s)
    DISPLAY=:${kv_displays[0]} kv_fixed_layout ctest --test-dir "$windows" -j $((lanes + 1)) \
        -L "$label" --resource-spec-file "$windows/displays.json" --no-tests=error \
        --output-on-failure >"$windows/$label-stress-$run.log" 2>&1
    rc=$?
    [ $rc -eq 0 ] || failures=$((failures + 1))
    echo "e2e-stress: $label run $run of $runs with $busy busy loops: $([ $rc -eq 0 ] && echo passed ||
        echo FAILED) in $(($(date +%s) - start)) s ($(grep -E 'tests passed' \
        "$windows/$label-stress-$run.log" | tail -n 1))"
    bash "$root/scripts/wine-leftovers.sh" --kill "$windows" || failures=$((failures + 1))
done
echo "e2e-stress: $((runs - failures)) passed, $failures failed"
[ $failures -eq 0 ]
