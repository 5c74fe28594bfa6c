#!/bin/bash
# Takes the picture of kelvane-cli's progress bar for the README: kelvane-cli-sim part-way
# through a firmware update in a terminal (tmux), the pane rendered to PNG.
#
#   scripts/cli-screenshot.sh [OUT.png]      (default docs/cli-progress.png)
#
# Needs a native build (KV_NATIVE_BUILD, default build-native) holding cli/kelvane-cli-sim, and
# besides the test packages tmux and ImageMagick's convert.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${KV_NATIVE_BUILD:-$root/build-native}")
out=$(realpath -m "${1:-$root/docs/cli-progress.png}")

die() {
    echo "cli-screenshot: $*" >&2
    exit 1
}

for tool in tmux convert; do
    command -v "$tool" >/dev/null || die "$tool is missing (packages tmux, imagemagick)"
done
cli=$build/cli/kelvane-cli-sim
[ -x "$cli" ] || die "build kelvane-cli-sim in $build first"

work=$(mktemp -d)
session=kv-cli-shot-$$
cleanup() {
    tmux kill-session -t "$session" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
head -c $((4 << 20)) /dev/urandom >"$work/firmware.bin"

# The pane is a terminal, so the program draws its bar. The shell stays after the program ends.
tmux new-session -d -s "$session" -x 72 -y 6 -c "$work" \
    "printf '\$ kelvane-cli-sim update firmware.bin\n'; '$cli' update firmware.bin; sleep 60"

# Part-way: wait (at most a minute) until the bar shows 40 % or more.
shot=
for _ in $(seq 600); do
    pane=$(tmux capture-pane -p -t "$session")
    percent=$(grep -o '[0-9]\+%' <<<"$pane" | tail -1 | tr -d '%' || true)
    if [ -n "$percent" ] && [ "$percent" -ge 40 ] && [ "$percent" -lt 100 ]; then
        shot=$pane
        break
    fi
    sleep 0.1
done
[ -n "$shot" ] || die "the progress bar never showed part-way"

# ImageMagick's label text: % starts an escape (%% is one %); its default policy refuses @file.
text=$(printf '%s\n' "$shot" | sed -e 's/[[:space:]]*$//' -e '/^$/d' -e 's/%/%%/g')
mkdir -p "$(dirname "$out")"
convert -background '#1e1e1e' -fill '#d4d4d4' -font DejaVu-Sans-Mono -pointsize 15 \
    -border 14 -bordercolor '#1e1e1e' label:"$text" "$out"
echo "cli-screenshot: $out"
