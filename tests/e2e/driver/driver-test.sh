#!/bin/bash
# One end-to-end case of the scanner driver under Wine, in a prefix of its own:
#
#   driver-test.sh CASE BUILD_DIR WORK_DIR
#
# starts the driver in WORK_DIR/prefix-CASE, runs CASE against it with the probe, and stops the
# driver and the prefix's wineserver however the case ends. Exits 0 when the case passes.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
. "$here/scanner-driver-lib.sh"

[ $# -eq 3 ] || kv_die "usage: driver-test.sh CASE BUILD_DIR WORK_DIR"
case_name=$1
build=$(realpath "$2")
prefix=$(realpath -m "$3/prefix-$case_name")
probe=$(kv_find_built "$build" scanner-probe.exe)
kv_wine_env "$prefix"

cleanup() { "$here/stop-scanner-driver.sh" "$prefix"; }
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Runs the probe, echoes its output for the log and keeps it in $out.
run_probe() {
    echo "> scanner-probe $*"
    out=$(kv_wine 60 "$probe" "$@" 2>&1 | tr -d '\r') || {
        echo "$out"
        fail "scanner-probe $* exited with an error"
    }
    echo "$out"
}

expect() {
    grep -qE -- "$1" <<<"$out" || fail "expected /$1/ in the output above"
}

case_descriptor() {
    "$here/start-scanner-driver.sh" "$prefix" "$build"
    run_probe descriptor
    expect '^bytes=8 vid=0x04F9 '
}

declare -F "case_$case_name" >/dev/null || kv_die "unknown case '$case_name'"
"case_$case_name"
echo "PASS: $case_name"
