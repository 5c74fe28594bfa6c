#!/bin/bash
# The one test command. Installs what is missing (as root, on Debian 12), builds the native tree
# (Debug, AddressSanitizer + UBSan) and the Windows tree (mingw-w64), then runs every test tier:
# natively the unit tests and the linux-e2e tests, in the Windows tree the wine-unit and e2e tests
# under Wine on virtual displays; between them a short pass of each fuzz target
# (scripts/fuzz.sh --runs 20000). Exits nonzero if any step failed; the last line says which.
#
#   scripts/test.sh           everything (what CI runs)
#   scripts/test.sh --quick   the native build, the native unit tests and the Linux end-to-end
#                             tests only: no fuzzing, no Windows tree
#
# Environment: KV_JOBS (default 2), KV_E2E_LANES (end-to-end cases run at once, each on an X
# display of its own; default 2), KV_NATIVE_BUILD, KV_WINDOWS_BUILD (build folders, default
# build-native and build-windows in the source tree).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/wine-lib.sh"
jobs=${KV_JOBS:-2}
lanes=${KV_E2E_LANES:-2}
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

trap kv_stop_displays EXIT

step "setup"
if ! bash "$root/scripts/setup.sh"; then
    echo "test.sh: FAILED: setup (missing packages)"
    exit 1
fi

step "native build (Debug, AddressSanitizer + UBSan) in $native"
if cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Debug &&
    cmake --build "$native" -j "$jobs"; then
    step "native tests"
    ctest --test-dir "$native" -j "$jobs" -LE 'linux-e2e|sweep-pairs' --no-tests=error --output-on-failure ||
        failed+=("native tests")
    step "Linux end-to-end tests (kelvane-cli against emulated USB and SCSI devices)"
    ctest --test-dir "$native" -j "$jobs" -L linux-e2e --no-tests=error --output-on-failure ||
        failed+=("Linux e2e tests")
else
    failed+=("native build")
fi

if [ $quick -eq 1 ]; then
    echo
    if [ ${#failed[@]} -eq 0 ]; then
        echo "test.sh: QUICK PASSED (native unit tests; Linux e2e tests) in $((SECONDS - started)) s"
        exit 0
    fi
    echo "test.sh: FAILED: $(IFS=,; echo "${failed[*]}" | sed 's/,/, /g')"
    exit 1
fi

step "fuzz targets, short runs (clang, libFuzzer)"
bash "$root/scripts/fuzz.sh" --runs 20000 || failed+=("fuzz targets")

step "Windows build (mingw-w64) in $windows"
if cmake -S "$root" -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" &&
    cmake --build "$windows" -j "$jobs"; then
    bash "$root/scripts/check-windows-build.sh" "$windows" || failed+=("Windows program checks")
    step "Windows tests under Wine ($lanes virtual displays)"
    # The template prefix is booted once, before any test, so no test's time bound pays for it.
    if ! kv_wine_quiet || ! kv_wine_template "$windows" >/dev/null; then
        failed+=("Wine template prefix")
    elif ! kv_start_displays "$lanes" "$windows/displays.json"; then
        failed+=("virtual displays")
    else
        # The test programs need one display between them (the window tests); the end-to-end
        # cases each take a display of their own, one lane each, and run after the programs so
        # that their windows do not compete with whole test programs for the two cores.
        DISPLAY=:${kv_displays[0]} ctest --test-dir "$windows" -j "$jobs" -LE e2e --no-tests=error \
            --output-on-failure || failed+=("Windows wine-unit tests")
        step "Windows end-to-end tests under Wine ($lanes lanes)"
        ctest --test-dir "$windows" -j "$lanes" -L e2e --resource-spec-file "$windows/displays.json" \
            --no-tests=error --output-on-failure || failed+=("Windows e2e tests")
        kv_stop_displays
    fi
    # Every test ends the Wine processes it started, also when it fails or times out.
    step "no Wine process of $windows left running"
    bash "$root/scripts/wine-leftovers.sh" --kill "$windows" || failed+=("Wine processes left running")
else
    failed+=("Windows build")
fi

echo
if [ ${#failed[@]} -eq 0 ]; then
    echo "test.sh: ALL PASSED (native unit tests; Linux e2e tests; fuzz targets; Windows wine-unit and e2e tests) in $((SECONDS - started)) s"
else
    echo "test.sh: FAILED: $(IFS=,; echo "${failed[*]}" | sed 's/,/, /g')"
    exit 1
fi
