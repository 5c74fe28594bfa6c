#!/bin/bash
# Takes the picture of the tool's window for the README: kelvane-sim.exe part-way through a
# firmware update, with its gauge showing, on a virtual display.
#
#   scripts/screenshot.sh [OUT.png]      (default docs/window-update.png)
#
# Needs a Windows build (KV_WINDOWS_BUILD, default build-windows) holding kelvane-sim.exe and
# tools/operator.exe, and besides the test packages xwd (x11-apps) and ImageMagick's convert.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${KV_WINDOWS_BUILD:-$root/build-windows}")
out=$(realpath -m "${1:-$root/docs/window-update.png}")

die() {
    echo "screenshot: $*" >&2
    exit 1
}

for tool in xwd convert xvfb-run; do
    command -v "$tool" >/dev/null || die "$tool is missing (packages x11-apps, imagemagick, xvfb)"
done
sim=$build/app/win32/kelvane-sim.exe
operator=$build/tools/operator.exe
[ -f "$sim" ] && [ -f "$operator" ] || die "build kelvane-sim and kv_operator in $build first"

# A display of our own, so nothing else is on the picture.
if [ -z "${KV_SCREENSHOT_DISPLAY:-}" ]; then
    KV_SCREENSHOT_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$out"
fi

export KV_WINEPREFIX=$build/wineprefix
work=$(mktemp -d)
operator_pid=
cleanup() {
    [ -n "$operator_pid" ] && kill "$operator_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cp "$sim" "$work/"
cd "$work"
# Big enough that the update runs for a good while: the simulated scanner takes its time per block.
head -c $((8 << 20)) /dev/urandom >firmware.bin

timeout 600 "$root/scripts/wine-run.sh" "$operator" -- kelvane-sim.exe >operator.out 2>operator.err <<'SCRIPT' &
click UpdateFW
dialog firmware.bin
wait-visible CGauge1 60000
wait-file shot-taken 120000
wait-status Update FW Ok. 600000
close
wait-exit 30000
SCRIPT
operator_pid=$!

for _ in $(seq 1 240); do
    grep -q '^visible: CGauge1' operator.out && break
    kill -0 "$operator_pid" 2>/dev/null || break
    sleep 0.5
done
grep -q '^visible: CGauge1' operator.out || { cat operator.out; die "the update did not start"; }
# Let the gauge move on a little.
sleep 3
xwd -silent -name "Kelvane 2022.6.9" -out window.xwd || die "no window to take"
touch shot-taken
mkdir -p "$(dirname "$out")"
convert xwd:window.xwd -strip "png:$out"
wait "$operator_pid" || { cat operator.out; die "the operator stopped"; }
operator_pid=
echo "screenshot: $out"
