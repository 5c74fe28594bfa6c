#!/bin/bash
# Runs a Windows program under Wine, headless and quietly.
#
#   scripts/wine-run.sh PROGRAM.exe [ARGS...]    runs PROGRAM, exits with its exit code
#   scripts/wine-run.sh --shutdown BUILD_DIR     ends the server of BUILD_DIR/wineprefix
#
# Without KV_WINEPREFIX the program runs in a fresh prefix of its own, a copy of the build
# folder's template (scripts/wine-lib.sh) below <build folder>/wine-runs/, with a server of its
# own; both are gone when it ends. The build folder is the nearest folder above PROGRAM (or above
# the current folder) holding CMakeCache.txt. The Windows build's toolchain file makes this
# script the emulator through which CTest runs every Windows test program, so no test program
# shares a prefix or a server with another.
#
# With KV_WINEPREFIX the program runs in that prefix, which is made on first use (a copy of the
# template, or booted where no build folder is above); its server is the caller's business.
set -euo pipefail
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
. "$here/wine-lib.sh"

die() {
    echo "wine-run: $*" >&2
    exit 2
}

build_dir_of() {
    local dir=$1
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    [ -f "$dir/CMakeCache.txt" ] && echo "$dir"
}

[ $# -ge 1 ] || die "usage: wine-run.sh PROGRAM.exe [ARGS...] | --shutdown BUILD_DIR"
kv_wine_quiet

if [ "$1" = --shutdown ]; then
    [ $# -eq 2 ] || die "usage: wine-run.sh --shutdown BUILD_DIR"
    WINEPREFIX=$(realpath -m "$2/wineprefix")
    export WINEPREFIX
    [ -d "$WINEPREFIX" ] || exit 0
    # Let the server finish on its own (it saves the registry); stop it if a program hangs.
    timeout 60 wineserver -w || wineserver -k || true
    exit 0
fi

if [ -f "$1" ]; then
    start=$(dirname "$(realpath "$1")")
else
    start=$PWD
fi
build=$(build_dir_of "$start") || build=

if [ -n "${KV_WINEPREFIX:-}" ]; then
    WINEPREFIX=$(realpath -m "$KV_WINEPREFIX")
    export WINEPREFIX
    if [ ! -f "$WINEPREFIX/.kv-ready" ]; then
        mkdir -p "$(dirname "$WINEPREFIX")"
        exec 9>"$WINEPREFIX.lock"
        flock 9
        if [ ! -f "$WINEPREFIX/.kv-ready" ]; then
            echo "wine-run: creating the Wine prefix $WINEPREFIX" >&2
            if [ -n "$build" ]; then
                template=$(kv_wine_template "$build") || die "cannot boot the template prefix"
                kv_wine_copy "$template" "$WINEPREFIX" || die "cannot copy the template prefix"
            else
                kv_wine_boot "$WINEPREFIX" || die "wineboot failed"
            fi
        fi
        exec 9>&-
    fi
    exec setarch "$(uname -m)" --addr-no-randomize wine "$@"
fi

[ -n "$build" ] || die "no build folder above $start; set KV_WINEPREFIX"
template=$(kv_wine_template "$build") || die "cannot boot the template prefix"
mkdir -p "$build/wine-runs"
WINEPREFIX=$(mktemp -d "$build/wine-runs/$(basename "$1" .exe).XXXXXX")
export WINEPREFIX
finish() {
    kv_wine_server_end "$WINEPREFIX" "$here/wine-leftovers.sh"
    rm -rf "$WINEPREFIX"
}
trap finish EXIT
trap 'exit 143' TERM INT HUP
kv_wine_copy "$template" "$WINEPREFIX" || die "cannot copy the template prefix"
kv_wine_server_start "$WINEPREFIX" || exit 2
status=0
kv_fixed_layout wine "$@" || status=$?
exit "$status"
