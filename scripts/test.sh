#!/bin/bash
# The one test command. Installs what is missing (as root, on Debian 12), builds the native tree
# (Debug, AddressSanitizer + UBSan), the fuzz targets (clang, libFuzzer) and the Windows tree
# (mingw-w64), then runs every test tier: natively the unit tests, the linux-e2e tests, the
# kernel-e2e tests (scripts/kernel-guest.sh: virtual machines with Debian's kernel, fetched once
# into the build folder) and a short pass of each fuzz target (scripts/fuzz.sh --runs 20000); in
# the Windows tree the wine-unit and e2e tests under Wine on virtual displays. Exits nonzero if
# any step failed; the last line says which.
#
#   scripts/test.sh           everything (what CI runs)
#   scripts/test.sh --quick   the native build, the native unit tests and the Linux end-to-end
#                             tests only: no kernel tier, no fuzzing, no Windows tree
#
# The native tiers and the Windows tiers run at the same time, each writing a log of its own
# that is printed once both have ended: the end-to-end cases mostly wait for windows and
# devices, so the native tests use the cores meanwhile.
#
# Environment: KV_JOBS (default 2), KV_E2E_LANES (end-to-end cases run at once, each on an X
# display of its own; default 2), KV_KERNEL_JOBS (kernel cases run at once; default 2),
# KV_NATIVE_BUILD, KV_WINDOWS_BUILD (build folders, default build-native and build-windows in
# the source tree).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/wine-lib.sh"
jobs=${KV_JOBS:-2}
lanes=${KV_E2E_LANES:-2}
kernel_jobs=${KV_KERNEL_JOBS:-2}
native=${KV_NATIVE_BUILD:-$root/build-native}
windows=${KV_WINDOWS_BUILD:-$root/build-windows}
quick=0
case "${1:-}" in
    "") ;;
    --quick) quick=1 ;;
    *)
        echo "usage: test.sh [--quick]" >&2
        exit 2
        ;;
esac
failed=()
started=$SECONDS

step() { printf '\n==> %s (at %d s)\n' "$*" $((SECONDS - started)); }

verdict() {
    echo
    if [ ${#failed[@]} -eq 0 ]; then
        echo "test.sh: $1 in $((SECONDS - started)) s"
        exit 0
    fi
    echo "test.sh: FAILED: $(IFS=,; echo "${failed[*]}" | sed 's/,/, /g')"
    exit 1
}

# The native tiers; with --full also the kernel tier. Each failure is one line of the file $1.
native_tiers() {
    local failures=$1 mode=$2
    step "native tests"
    ctest --test-dir "$native" -j "$jobs" -LE 'linux-e2e|kernel-e2e|sweep-pairs' --no-tests=error \
        --output-on-failure || echo "native tests" >>"$failures"
    step "Linux end-to-end tests (kelvane-cli against emulated USB and SCSI devices)"
    ctest --test-dir "$native" -j "$jobs" -L linux-e2e --no-tests=error --output-on-failure ||
        echo "Linux e2e tests" >>"$failures"
    if [ "$mode" = --full ]; then
        step "kernel end-to-end tests (kelvane-cli in a virtual machine against USB gadgets)"
        # The kernel is fetched once, before any case, so no case's time bound pays for it.
        if bash "$root/scripts/kernel-guest.sh" --build "$native" --fetch-only; then
            ctest --test-dir "$native" -j "$kernel_jobs" -L kernel-e2e --no-tests=error \
                --output-on-failure || echo "kernel e2e tests" >>"$failures"
        else
            echo "kernel e2e tests (no guest kernel)" >>"$failures"
        fi
    fi
}

# The fuzz targets' short runs. They follow the Windows tiers, whose cases mostly wait, so that
# the two streams end at about the same time. Each failure is one line of $1.
fuzz_runs() {
    step "fuzz targets, short runs (clang, libFuzzer)"
    bash "$root/scripts/fuzz.sh" --runs 20000 || echo "fuzz targets" >>"$1"
}

# The Windows tiers, wine-unit and e2e, in one CTest run. Each failure is one line of $1.
windows_tiers() {
    local failures=$1
    step "Windows tests under Wine (wine-unit, and e2e in $lanes lanes)"
    # The template prefix is booted once, before any test, so no test's time bound pays for it.
    if ! kv_wine_quiet || ! kv_fixed_layout bash -c '. "$1"; kv_wine_template "$2"' _ \
        "$root/scripts/wine-lib.sh" "$windows" >/dev/null; then
        echo "Wine template prefix" >>"$failures"
        return
    fi
    trap kv_stop_displays EXIT
    if ! kv_start_displays $((lanes + 1)) "$windows/displays.json" 1; then
        echo "virtual displays" >>"$failures"
        return
    fi
    # Each case takes the display of a lane of its own (the resource file); the test programs
    # share the first display, which no case gets, so no window of theirs can take the input
    # focus from a case.
    DISPLAY=:${kv_displays[0]} kv_fixed_layout ctest --test-dir "$windows" -j $((lanes + 1)) \
        --resource-spec-file "$windows/displays.json" --no-tests=error --output-on-failure ||
        echo "Windows tests" >>"$failures"
    kv_stop_displays
    # Every test ends the Wine processes it started, also when it fails or times out.
    step "no Wine process of $windows left running"
    bash "$root/scripts/wine-leftovers.sh" --kill "$windows" || echo "Wine processes left running" >>"$failures"
}

step "setup"
if ! bash "$root/scripts/setup.sh"; then
    echo "test.sh: FAILED: setup (missing packages)"
    exit 1
fi

step "native build (Debug, AddressSanitizer + UBSan) in $native"
native_built=0
if cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Debug &&
    cmake --build "$native" -j "$jobs"; then
    native_built=1
else
    failed+=("native build")
fi

if [ $quick -eq 1 ]; then
    if [ $native_built -eq 1 ]; then
        failures=$(mktemp)
        native_tiers "$failures" --quick
        mapfile -t -O ${#failed[@]} failed <"$failures"
        rm -f "$failures"
    fi
    verdict "QUICK PASSED (native unit tests; Linux e2e tests)"
fi

step "fuzz build (clang, libFuzzer)"
bash "$root/scripts/fuzz.sh" --build-only || failed+=("fuzz build")

step "Windows build (mingw-w64) in $windows"
windows_built=0
if cmake -S "$root" -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" &&
    cmake --build "$windows" -j "$jobs"; then
    windows_built=1
    bash "$root/scripts/check-windows-build.sh" "$windows" || failed+=("Windows program checks")
else
    failed+=("Windows build")
fi

logs=$(mktemp -d)
step "tests: the native tiers, and the Windows tiers then the fuzz runs, side by side (logs follow when both end)"
if [ $native_built -eq 1 ]; then
    native_tiers "$logs/native.failures" --full >"$logs/native.log" 2>&1 &
fi
{
    [ $windows_built -eq 1 ] && windows_tiers "$logs/windows.failures"
    fuzz_runs "$logs/windows.failures"
} >"$logs/windows.log" 2>&1 &
wait
for tier in native windows; do
    [ -f "$logs/$tier.log" ] || continue
    printf '\n==> the %s tiers, log\n' "$tier"
    cat "$logs/$tier.log"
    [ -f "$logs/$tier.failures" ] && mapfile -t -O ${#failed[@]} failed <"$logs/$tier.failures"
done
rm -rf "$logs"
step "end"
verdict "ALL PASSED (native unit tests; Linux e2e tests; kernel e2e tests; fuzz targets; Windows wine-unit and e2e tests)"
