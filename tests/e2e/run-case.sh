#!/bin/bash
# Runs one end-to-end case: run-case.sh NAME calls case_NAME from the cases-*.sh files in a fresh
# folder of its own. Exits 0 when the case passes; a failing case prints what it saw.
set -uo pipefail
here_dir=$(dirname "$(realpath "$0")")
. "$here_dir/../../scripts/wine-lib.sh"
. "$here_dir/e2e-lib.sh"
. "$here_dir/cli-lib.sh"
for cases in "$here_dir"/cases-*.sh; do
    . "$cases"
done

[ $# -eq 1 ] || { echo "usage: run-case.sh NAME" >&2; exit 2; }
for var in KV_KELVANE KV_KELVANE_SIM KV_OPERATOR KV_PATTERN_CHECK KV_MARKER KV_WINE_RUN KV_WINE_LEFTOVERS \
    KV_BUILD KV_WORK; do
    [ -n "${!var:-}" ] || { echo "run-case: $var is not set (run through ctest)" >&2; exit 2; }
done
if [ -n "${KV_E2E_CONSOLE:-}" ]; then
    # A console case opens no window: without a display, no Wine program of it can show one on
    # a display that another case works on.
    unset DISPLAY
else
    kv_lane_display
    [ -n "${DISPLAY:-}" ] || { echo "run-case: no display; run under xvfb-run" >&2; exit 2; }
fi
declare -F "case_$1" >/dev/null || { echo "run-case: no case '$1'" >&2; exit 2; }

# The case's own time bound (from CTest, which allows a little more): when it runs out the case
# is stopped by a signal, so its clean-up still runs and nothing of it outlives it.
if [ -n "${KV_CASE_SECONDS:-}" ] && [ -z "${KV_CASE_BOUNDED:-}" ]; then
    KV_CASE_BOUNDED=1 exec timeout --kill-after=60 "$KV_CASE_SECONDS" bash "$0" "$@"
fi
trap finish_case EXIT
trap 'echo "FAIL: the case ran out of its ${KV_CASE_SECONDS:-} s"; exit 124' TERM INT
fresh_folder "$1"
# The programs run from the case's folder, so whatever they leave beside themselves lands there.
cp "$KV_KELVANE" "$KV_KELVANE_SIM" .
"case_$1"
# The logs stay; the copies of the programs go, so no stale copy is taken for the build's own, and
# so does the prefix (kept after a failure).
finish_case
trap - EXIT
rm -rf "$KV_WINEPREFIX"
find "$here" -name '*.exe' -type f -delete
echo "PASS: $1"
