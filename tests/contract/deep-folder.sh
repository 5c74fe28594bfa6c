#!/bin/bash
# kelvane-sim.exe CHECKFW run from a folder so deep that the program's own path does not fit the
# first buffer its folder lookup tries (260 characters), while the result file's path still fits
# the 259 characters (MAX_PATH) that Wine's WritePrivateProfileStringA accepts. The result file
# must appear beside the program. Started from the Unix side: a Windows process cannot start a program whose path
# is that long under Wine.
#
#   deep-folder.sh KELVANE_SIM_EXE WINE_RUN_SH WORK_DIR
set -euo pipefail

program=$1
wine_run=$2
work=$3
limit_s=120  # only a hung program reaches it

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")

# The Windows side sees the Unix root as Z:.
windows_length() { printf 'Z:%s' "$1" | wc -c; }

# A folder of 246 characters as Windows sees it, in names of at most 200 characters: the program's
# path is then 262 characters long and the result file's 258.
folder=$work
need=$((246 - $(windows_length "$work")))
while [ "$need" -gt 0 ]; do
    name_length=$((need - 1 > 200 ? 150 : need - 1))
    if [ "$name_length" -lt 1 ]; then
        echo "deep-folder: no room for a folder of 246 characters below $work" >&2
        exit 1
    fi
    folder=$folder/$(printf 'd%.0s' $(seq "$name_length"))
    need=$((need - name_length - 1))
done
mkdir -p "$folder"
cp "$program" "$folder/kelvane-sim.exe"
echo "program path: $(windows_length "$folder/kelvane-sim.exe") characters"
echo "result path:  $(windows_length "$folder/result2.ini") characters"

status=0
(cd "$work" && timeout "$limit_s" "$wine_run" "$folder/kelvane-sim.exe" CHECKFW) || status=$?
if [ "$status" -ne 0 ]; then
    echo "deep-folder: kelvane-sim.exe CHECKFW ended with $status (124: still running after ${limit_s} s)" >&2
    exit 1
fi
printf '[result]\r\nversion=1.23\r\n' >"$work/expected.ini"
if ! cmp -s "$work/expected.ini" "$folder/result2.ini"; then
    echo "deep-folder: no result2.ini with the version beside the program" >&2
    exit 1
fi
rm -rf "$work"
echo "deep-folder: passed"
