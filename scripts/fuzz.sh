#!/bin/bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer + UBSan) in a tree of their own and
# runs each one from its committed seed corpus, KV_JOBS targets at a time.
#
#   bash scripts/fuzz.sh                      each target for 1,000,000 runs
#   bash scripts/fuzz.sh --runs 20000         a short pass (the test command makes this one)
#   bash scripts/fuzz.sh --seconds 600        a time budget per target instead of a run count
#   bash scripts/fuzz.sh --runs N TARGET...   only the targets named
#   bash scripts/fuzz.sh --build-only         build the targets, run none
#
# Inputs that reach new code go to a scratch corpus in the build tree; the committed seeds are
# only read. A failing input is saved in the build tree's fuzz/artifacts/ and the script exits
# nonzero. Environment: KV_FUZZ_BUILD (default build-fuzz in the source tree), KV_JOBS (default 2).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KV_FUZZ_BUILD:-$root/build-fuzz}
jobs=${KV_JOBS:-2}
limit=(-runs=1000000)
targets=()
build_only=0
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) limit=("-runs=$2"); shift 2 ;;
    --seconds) limit=("-max_total_time=$2"); shift 2 ;;
    --build-only) build_only=1; shift ;;
    -h | --help) sed -n '2,14p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
    esac
done
[ ${#targets[@]} -gt 0 ] ||
    targets=(fuzz_device_answers fuzz_service_replies fuzz_int_field fuzz_command_line)

echo "==> fuzz build (clang, libFuzzer, AddressSanitizer + UBSan) in $build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DKV_TESTS=OFF >/dev/null &&
    cmake --build "$build" -j "$jobs" --target "${targets[@]}" || {
    echo "fuzz.sh: FAILED: build"
    exit 1
}
[ $build_only -eq 0 ] || exit 0

mkdir -p "$build/fuzz/artifacts"
# Runs one target; its verdict goes to its log's .status file.
run_target() {
    local t=$1 seeds="$root/fuzz/corpus/$1" scratch="$build/fuzz/corpus/$1" log="$build/fuzz/$1.log"
    mkdir -p "$scratch"
    # -timeout: a run stuck for real (the clock is virtual, so no run should take long).
    "$build/fuzz/$t" "${limit[@]}" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz/artifacts/$t-" "$scratch" "$seeds" >"$log" 2>&1
    echo $? >"$log.status"
}

# Each target is one process on one core, so KV_JOBS of them run at a time.
running=0
for t in "${targets[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
    run_target "$t" &
    running=$((running + 1))
done
wait

failed=()
for t in "${targets[@]}"; do
    log="$build/fuzz/$t.log"
    if [ "$(cat "$log.status" 2>/dev/null)" = 0 ]; then
        echo "$t: $(grep -E '^Done [0-9]+ runs' "$log" | tail -1)"
    else
        echo "$t: FAILED (log: $log)"
        grep -E 'property violated|ERROR: (AddressSanitizer|libFuzzer)|runtime error|SUMMARY' "$log" |
            head -5
        failed+=("$t")
    fi
done

if [ ${#failed[@]} -eq 0 ]; then
    echo "fuzz.sh: ALL PASSED"
else
    echo "fuzz.sh: FAILED: ${failed[*]}"
    exit 1
fi
