#!/bin/bash
# Installs the scanner driver into a Wine prefix and starts it, so that "\\.\USBSCAN0" answers.
#
#   start-scanner-driver.sh PREFIX BUILD_DIR [NAME=VALUE...]
#
# PREFIX is created if needed. BUILD_DIR holds the built kelvane-scanner.sys and
# scanner-probe.exe. Optional settings (decimal or 0x hex numbers; up to four characters for
# Version) are applied once the device answers, as `scanner-probe set` takes them:
#   VendorId=0x0638 ProductId=0x1234 Version=abcd WorkMs=50 NeverFinishes=1 Readiness=1
#   AnswersTagQuery=0
# Without settings the driver is the scanner kelvane-sim.exe carries (vendor 0x04F9, product
# 0x2022, version "1.23", 32 MiB of patterned memory, 5 ms of work after each data command).
# The prefix's wineserver is made persistent, so the driver (and the memory image it holds)
# stays up between programs until stop-scanner-driver.sh PREFIX. Run it before other programs
# in the prefix: a wineserver already running there is ended first, with its programs.
# Exits 0 once the probe has read the device's descriptor (and applied the settings); nonzero,
# with a message, otherwise.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
. "$here/scanner-driver-lib.sh"

[ $# -ge 2 ] || kv_die "usage: start-scanner-driver.sh PREFIX BUILD_DIR [NAME=VALUE...]"
kv_wine_env "$1"
build=$(realpath "$2")
shift 2

sys=$(kv_find_built "$build" "$KV_DRIVER_FILE")
probe=$(kv_find_built "$build" scanner-probe.exe)

kv_ensure_prefix
# A running server cannot be made persistent, so a server still running in the prefix (one of
# wineboot, or of an earlier start) is ended first, with whatever it still runs. Start the new
# one detached from our output, or callers reading our output would wait for it.
if ! timeout 30 wineserver -p </dev/null >/dev/null 2>&1; then
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    timeout 60 wineserver -w || kv_die "the prefix's wineserver does not end"
    timeout 30 wineserver -p </dev/null >/dev/null 2>&1 || kv_die "cannot start the wineserver"
fi

# A driver left running by an earlier start is replaced, so the prefix always runs this build.
kv_wine 60 net stop "$KV_DRIVER_SERVICE" >/dev/null 2>&1 || true
kv_wine 60 sc delete "$KV_DRIVER_SERVICE" >/dev/null 2>&1 || true

cp "$sys" "$WINEPREFIX/drive_c/windows/system32/drivers/$KV_DRIVER_FILE"
kv_wine 60 sc create "$KV_DRIVER_SERVICE" type= kernel start= demand \
    binPath= "C:\\windows\\system32\\drivers\\$KV_DRIVER_FILE" >/dev/null ||
    kv_die "sc create failed"

kv_wine 60 net start "$KV_DRIVER_SERVICE" >/dev/null || kv_die "net start $KV_DRIVER_SERVICE failed"

for _ in $(seq 1 40); do
    if kv_wine 30 "$probe" descriptor >/dev/null 2>&1; then
        if [ $# -gt 0 ]; then
            kv_wine 30 "$probe" set "$@" || kv_die "cannot apply the settings $*"
        fi
        echo "scanner-driver: $KV_DEVICE_NAME is up in $WINEPREFIX"
        exit 0
    fi
    sleep 0.5
done
kv_die "the driver started but $KV_DEVICE_NAME does not answer"
