#!/bin/bash
# Installs the scanner driver into a Wine prefix and starts it, so that "\\.\USBSCAN0" answers.
#
#   start-scanner-driver.sh PREFIX BUILD_DIR [NAME=VALUE...]
#
# PREFIX is created if needed. BUILD_DIR holds the built kelvane-scanner.sys and
# scanner-probe.exe. Optional settings (decimal or 0x hex numbers; four characters for Version)
# go to the driver's service key before it starts:
#   VendorId=0x04F9 ProductId=... Version=abcd
# The prefix's wineserver is made persistent, so the driver (and the memory image it holds)
# stays up between programs until stop-scanner-driver.sh PREFIX. Run it before other programs
# in the prefix: a wineserver already running there is ended first, with its programs. Exits 0 once the probe has
# opened the device and read its descriptor; nonzero, with a message, otherwise.
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

key="HKLM\\System\\CurrentControlSet\\Services\\$KV_DRIVER_SERVICE\\Parameters"
for setting in "$@"; do
    name=${setting%%=*}
    value=${setting#*=}
    case $name in
        VendorId | ProductId)
            [[ $value =~ ^(0[xX][0-9a-fA-F]{1,4}|[0-9]{1,5})$ ]] ||
                kv_die "$name needs a 16-bit number, not '$value'"
            kv_wine 60 reg add "$key" /v "$name" /t REG_DWORD /d $((value)) /f >/dev/null ||
                kv_die "cannot set $name"
            ;;
        Version)
            [[ $value =~ ^[[:print:]]{1,4}$ ]] || kv_die "Version needs 1 to 4 characters"
            kv_wine 60 reg add "$key" /v "$name" /t REG_SZ /d "$value" /f >/dev/null ||
                kv_die "cannot set $name"
            ;;
        *) kv_die "unknown setting '$setting'" ;;
    esac
done

kv_wine 60 net start "$KV_DRIVER_SERVICE" >/dev/null || kv_die "net start $KV_DRIVER_SERVICE failed"

for _ in $(seq 1 40); do
    if kv_wine 30 "$probe" descriptor >/dev/null 2>&1; then
        echo "scanner-driver: $KV_DEVICE_NAME is up in $WINEPREFIX"
        exit 0
    fi
    sleep 0.5
done
kv_die "the driver started but $KV_DEVICE_NAME does not answer"
