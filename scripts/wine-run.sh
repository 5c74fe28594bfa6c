#!/bin/bash
# Runs a Windows program under Wine, headless and quietly, in a private Wine prefix.
#
#   scripts/wine-run.sh PROGRAM.exe [ARGS...]    runs PROGRAM, exits with its exit code
#   scripts/wine-run.sh --shutdown BUILD_DIR     ends the prefix's wineserver cleanly
#
# The prefix is KV_WINEPREFIX if set, else <build folder>/wineprefix, where the build folder is
# the nearest folder above PROGRAM (or above the current folder) holding CMakeCache.txt. It is
# created once, on first use, without the Mono and Gecko installer dialogs; concurrent first
# runs (ctest -j) wait for each other. The Windows build's toolchain file makes this script the
# emulator through which CTest runs every Windows test program.
set -euo pipefail

die() {
    echo "wine-run: $*" >&2
    exit 2
}

build_dir_of() {
    local dir=$1
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    [ -f "$dir/CMakeCache.txt" ] && echo "$dir"
}

prefix_for() {
    local start=$1 build
    if [ -n "${KV_WINEPREFIX:-}" ]; then
        realpath -m "$KV_WINEPREFIX"
        return
    fi
    build=$(build_dir_of "$start") || die "no build folder above $start; set KV_WINEPREFIX"
    echo "$build/wineprefix"
}

[ $# -ge 1 ] || die "usage: wine-run.sh PROGRAM.exe [ARGS...] | --shutdown BUILD_DIR"

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

if [ "$1" = --shutdown ]; then
    [ $# -eq 2 ] || die "usage: wine-run.sh --shutdown BUILD_DIR"
    WINEPREFIX=$(prefix_for "$(realpath "$2")")
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
WINEPREFIX=$(prefix_for "$start")
export WINEPREFIX

if [ ! -f "$WINEPREFIX/.kv-ready" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.kv-ready" ]; then
        echo "wine-run: creating the Wine prefix $WINEPREFIX" >&2
        if ! wineboot -i >"$WINEPREFIX.log" 2>&1; then
            cat "$WINEPREFIX.log" >&2
            die "wineboot failed; see $WINEPREFIX.log"
        fi
        touch "$WINEPREFIX/.kv-ready"
    fi
    exec 9>&-
fi

exec wine "$@"
