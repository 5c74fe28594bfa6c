#!/bin/bash
# Lists the Wine processes (the wineserver, Wine's own services and drivers, programs) whose Wine
# prefix lies below DIR, and with --kill ends them. Exits 1 when there were any, so the test
# command can tell a test that left something running.
#
#   scripts/wine-leftovers.sh [--kill] DIR
set -uo pipefail
kill=0
if [ "${1:-}" = --kill ]; then
    kill=1
    shift
fi
[ $# -eq 1 ] || { echo "usage: wine-leftovers.sh [--kill] DIR" >&2; exit 2; }
dir=$(realpath -m "$1")

found=()
for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    [ "$pid" != $$ ] || continue
    # Every process of a prefix, the server included, carries the prefix in its environment.
    prefix=$({ tr '\0' '\n' <"$environ"; } 2>/dev/null | sed -n 's/^WINEPREFIX=//p' | head -n 1)
    [ -n "$prefix" ] || continue
    case "$(realpath -m "$prefix")/" in
        "$dir"/*) ;;
        *) continue ;;
    esac
    # Scripts that merely pass the variable on are no Wine process.
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
    case "$exe" in
        */wine* | */wineserver*) ;;
        *) continue ;;
    esac
    found+=("$pid")
    echo "left running: pid $pid ($({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null)) in $prefix"
done
[ ${#found[@]} -eq 0 ] && exit 0
if [ $kill -eq 1 ]; then
    kill -KILL "${found[@]}" 2>/dev/null
fi
exit 1
