#!/bin/bash
# kelvane-sim.exe CHECKFW run from a folder so deep that the program's own path does not fit the
# first buffer its folder lookup tries (260 characters), while the result file's path still fits
# the 259 characters that WritePrivateProfileStringA accepts. The result file must appear beside
# the program. Started from the Unix side: a Windows process cannot start a program whose path
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

folder=$work/$(printf 'd%.0s' $(seq 150))
rest=$((246 - $(windows_length "$folder") - 1))
if [ "$rest" -lt 1 ] || [ "$rest" -gt 200 ]; then
    echo "deep-folder: the work folder's path does not leave room for the deep folder" >&2
    exit 1
fi
folder=$folder/$(printf 'e%.0s' $(seq "$rest"))
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
expected=$(printf '[result]\r\nversion=1.23\r\n')
if [ ! -f "$folder/result2.ini" ] || [ "$(cat "$folder/result2.ini")" != "$expected" ]; then
    echo "deep-folder: no result2.ini with the version beside the program" >&2
    exit 1
fi
rm -rf "$work"
echo "deep-folder: passed"
