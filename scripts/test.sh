#!/bin/bash
# The one test command. Installs what is missing (as root, on Debian 12), builds the native tree
# (Debug, AddressSanitizer + UBSan) and the Windows tree (mingw-w64), then runs every test tier:
# natively the unit tests and the linux-e2e tests, in the Windows tree the wine-unit and e2e tests
# under Wine on a virtual display; between them a short pass of each fuzz target
# (scripts/fuzz.sh --runs 20000). Exits nonzero if any step failed; the last line says which.
#
# Environment: KV_JOBS (default 2), KV_NATIVE_BUILD, KV_WINDOWS_BUILD (build folders, default
# build-native and build-windows in the source tree).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${KV_JOBS:-2}
native=${KV_NATIVE_BUILD:-$root/build-native}
windows=${KV_WINDOWS_BUILD:-$root/build-windows}
failed=()

step() { printf '\n==> %s\n' "$*"; }

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

step "fuzz targets, short runs (clang, libFuzzer)"
bash "$root/scripts/fuzz.sh" --runs 20000 || failed+=("fuzz targets")

step "Windows build (mingw-w64) in $windows"
if cmake -S "$root" -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" &&
    cmake --build "$windows" -j "$jobs"; then
    bash "$root/scripts/check-windows-build.sh" "$windows" || failed+=("Windows program checks")
    step "Windows tests under Wine"
    # One virtual display for the whole run (the e2e tests open windows); the Wine server is
    # shut down before the display goes away.
    xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
        # The end-to-end tests run after the others, so their timing-sensitive windows do not
        # compete with whole test programs running beside them.
        ctest --test-dir "$1" -j "$2" -LE e2e --no-tests=error --output-on-failure
        rc=$?
        ctest --test-dir "$1" -j "$2" -L e2e --no-tests=error --output-on-failure || rc=1
        "$3" --shutdown "$1"
        exit $rc' _ "$windows" "$jobs" "$root/scripts/wine-run.sh" ||
        failed+=("Windows tests")
    # Every test ends the Wine processes it started, also when it fails or times out.
    step "no Wine process of $windows left running"
    bash "$root/scripts/wine-leftovers.sh" --kill "$windows" || failed+=("Wine processes left running")
else
    failed+=("Windows build")
fi

echo
if [ ${#failed[@]} -eq 0 ]; then
    echo "test.sh: ALL PASSED (native unit tests; Linux e2e tests; fuzz targets; Windows wine-unit and e2e tests)"
else
    echo "test.sh: FAILED: $(IFS=,; echo "${failed[*]}" | sed 's/,/, /g')"
    exit 1
fi
