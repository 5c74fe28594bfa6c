#!/bin/bash
# Runs the end-to-end tier of a built Windows tree N times in a row with one CPU-bound busy
# process per core beside it (or none with --idle), to show that no case depends on the speed
# of the machine. Each run's result and time are printed; exits nonzero if any run failed.
#
#   scripts/e2e-stress.sh [--idle] [N]      (default N = 3; KV_WINDOWS_BUILD as in test.sh)
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
windows=${KV_WINDOWS_BUILD:-$root/build-windows}
busy=$(nproc)
if [ "${1:-}" = --idle ]; then
    busy=0
    shift
fi
runs=${1:-3}
[ -f "$windows/CTestTestfile.cmake" ] || { echo "e2e-stress: build $windows first" >&2; exit 2; }

loops=()
stop_loops() { [ ${#loops[@]} -eq 0 ] || kill "${loops[@]}" 2>/dev/null; }
trap stop_loops EXIT
for _ in $(seq 1 "$busy"); do
    bash -c 'while :; do :; done' &
    loops+=($!)
done

failures=0
for run in $(seq 1 "$runs"); do
    start=$(date +%s)
    xvfb-run -a -s "-screen 0 1280x1024x24" \
        ctest --test-dir "$windows" -L e2e --output-on-failure >"$windows/e2e-stress-$run.log" 2>&1
    rc=$?
    [ $rc -eq 0 ] || failures=$((failures + 1))
    echo "e2e-stress: run $run of $runs with $busy busy loops: $([ $rc -eq 0 ] && echo passed ||
        echo FAILED) in $(($(date +%s) - start)) s ($(grep -E 'tests passed' \
        "$windows/e2e-stress-$run.log" | tail -n 1))"
    bash "$root/scripts/wine-leftovers.sh" --kill "$windows" || failures=$((failures + 1))
done
echo "e2e-stress: $((runs - failures)) passed, $failures failed"
[ $failures -eq 0 ]
