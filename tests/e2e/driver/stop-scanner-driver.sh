#!/bin/bash
# Stops and removes the scanner driver started by start-scanner-driver.sh, then ends the
# prefix's wineserver (made persistent by the start) and everything it still runs.
#
#   stop-scanner-driver.sh PREFIX
set -uo pipefail
here=$(dirname "$(realpath "$0")")
. "$here/scanner-driver-lib.sh"

[ $# -eq 1 ] || kv_die "usage: stop-scanner-driver.sh PREFIX"
kv_wine_env "$1"
[ -d "$WINEPREFIX" ] || exit 0

kv_wine 60 net stop "$KV_DRIVER_SERVICE" >/dev/null 2>&1
kv_wine 60 sc delete "$KV_DRIVER_SERVICE" >/dev/null 2>&1
timeout 30 wineserver -k >/dev/null 2>&1
timeout 30 wineserver -w >/dev/null 2>&1
# Whatever a stuck server left behind (the driver host above all).
bash "$here/../../../scripts/wine-leftovers.sh" --kill "$WINEPREFIX" >/dev/null 2>&1
exit 0
