#!/bin/bash
# Runs one end-to-end case: run-case.sh NAME calls case_NAME from the cases-*.sh files in a fresh
# folder of its own. Exits 0 when the case passes; a failing case prints what it saw.
set -uo pipefail
here_dir=$(dirname "$(realpath "$0")")
. "$here_dir/e2e-lib.sh"
for cases in "$here_dir"/cases-*.sh; do
    . "$cases"
done

[ $# -eq 1 ] || { echo "usage: run-case.sh NAME" >&2; exit 2; }
for var in KV_KELVANE KV_KELVANE_SIM KV_OPERATOR KV_PATTERN_CHECK KV_MARKER KV_WINE_RUN \
    KV_WINEPREFIX KV_WORK; do
    [ -n "${!var:-}" ] || { echo "run-case: $var is not set (run through ctest)" >&2; exit 2; }
done
[ -n "${DISPLAY:-}" ] || { echo "run-case: no display; run under xvfb-run" >&2; exit 2; }
declare -F "case_$1" >/dev/null || { echo "run-case: no case '$1'" >&2; exit 2; }

trap finish_case EXIT
fresh_folder "$1"
# The programs run from the case's folder, so whatever they leave beside themselves lands there.
cp "$KV_KELVANE" "$KV_KELVANE_SIM" .
"case_$1"
# The logs stay; the copies of the programs go, so no stale copy is taken for the build's own.
find "$here" -name '*.exe' -type f -delete
echo "PASS: $1"
