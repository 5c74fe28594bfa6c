#!/bin/bash
# Installs the scanner driver into a Wine prefix and starts it, so that "\\.\USBSCAN0" answers.
#
#   start-scanner-driver.sh PREFIX BUILD_DIR [NAME=VALUE...]
#
# PREFIX is created if needed, as a copy of BUILD_DIR's template prefix. BUILD_DIR holds the built kelvane-scanner.sys and
# scanner-probe.exe. Optional settings (decimal or 0x hex numbers; up to four characters for
# Version) are applied once the device answers, as `scanner-probe set` takes them:
#   VendorId=0x0638 ProductId=0x1234 Version=abcd WorkMs=50 NeverFinishes=1 Readiness=1
#   AnswersTagQuery=0
# Two settings choose how the scanner presents itself, before the driver starts:
#   StillImage=0        no still-image device "\\.\USBSCAN0" (it is on by default)
#   Disk=auto|LETTER    also a removable drive answering SCSI pass-through: at the first free
#                       letter from K (auto), or at LETTER; the line "disk-letter=X" says which
# and the same two make several scanners, each with a memory, a lock and a log of its own:
#   StillImage=K        K still-image devices, "\\.\USBSCAN0" to "\\.\USBSCAN<K-1>" (K up to 4)
#   Disk=A,B,...        one removable drive per entry (auto or a letter; up to 4), the N-th one
#                       presented by scanner N; one line "disk-letter=X" each, in that order
# Scanner N presents the N-th still-image device and the N-th drive; scanner-probe --scanner N
# reaches its controls. The settings below go to every scanner.
# Without settings the driver is the scanner kelvane-sim.exe carries (vendor 0x04F9, product
# 0x2022, version "1.23", 32 MiB of patterned memory, 5 ms of work after each data command), as
# a still-image device only.
# The prefix's wineserver is made persistent, so the driver (and the memory image it holds)
# stays up between programs until stop-scanner-driver.sh PREFIX. Run it before other programs
# in the prefix: a wineserver already running there is ended first, with its programs, unless it
# was started persistent by scripts/wine-lib.sh (KV_WINESERVER_PERSISTENT names its prefix).
# Exits 0 once the driver's controls answer (and the settings are applied); nonzero, with a
# message, otherwise.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
. "$here/scanner-driver-lib.sh"

[ $# -ge 2 ] || kv_die "usage: start-scanner-driver.sh PREFIX BUILD_DIR [NAME=VALUE...]"
kv_wine_env "$1"
build=$(realpath "$2")
shift 2

still_image=1
disk=
settings=()
for setting in "$@"; do
    case $setting in
        StillImage=[0-4]) still_image=${setting#*=} ;;
        StillImage=*) kv_die "StillImage takes a count from 0 to 4" ;;
        Disk=*)
            disk=${setting#*=}
            [[ $disk =~ ^(auto|[C-Zc-z])(,(auto|[C-Zc-z])){0,3}$ ]] ||
                kv_die "Disk takes auto or a drive letter, or up to four of them separated by commas"
            ;;
        *) settings+=("$setting") ;;
    esac
done

sys=$(kv_find_built "$build" "$KV_DRIVER_FILE")
probe=$(kv_find_built "$build" scanner-probe.exe)

kv_ensure_prefix "$build"
# A running server cannot be made persistent, so a server still running in the prefix (one of an
# earlier start) is ended first, with whatever it still runs. Start the new one detached from our
# output, or callers reading our output would wait for it.
if [ "${KV_WINESERVER_PERSISTENT:-}" = "$WINEPREFIX" ]; then
    :
elif ! timeout 30 wineserver -p </dev/null >/dev/null 2>&1; then
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

# The driver reads its presentations from its service key when it starts.
service_key="HKLM\\System\\CurrentControlSet\\Services\\$KV_DRIVER_SERVICE"
kv_wine 60 reg add "$service_key" /v StillImage /t REG_DWORD /d "$still_image" /f >/dev/null ||
    kv_die "cannot set StillImage"
# The service key may outlive an earlier start: a drive it asked for is not asked for again.
kv_wine 60 reg delete "$service_key" /v DiskLetter /f >/dev/null 2>&1 || true
letters=()
if [ -n "$disk" ]; then
    IFS=, read -ra asked <<<"$disk"
    # Letters named outright are taken first, so an auto entry never lands on one of them.
    for entry in "${asked[@]}"; do
        [ "$entry" = auto ] || letters+=("${entry^^}")
    done
    taken=("${letters[@]}")
    letters=()
    for entry in "${asked[@]}"; do
        if [ "$entry" = auto ]; then
            entry=$(kv_free_drive_letter "${taken[@]}") || kv_die "no free drive letter from K"
            taken+=("${entry^^}")
        fi
        letters+=("${entry^^}")
    done
    [ "$(printf '%s\n' "${letters[@]}" | sort -u | wc -l)" -eq ${#letters[@]} ] ||
        kv_die "a drive letter is asked for twice: ${letters[*]}"
    kv_wine 60 reg add "$service_key" /v DiskLetter /t REG_SZ /d "$(printf '%s' "${letters[@]}")" \
        /f >/dev/null || kv_die "cannot set DiskLetter"
fi
scanners=$still_image
[ ${#letters[@]} -le "$scanners" ] || scanners=${#letters[@]}
[ "$scanners" -ge 1 ] || scanners=1

kv_wine 60 net start "$KV_DRIVER_SERVICE" >/dev/null || kv_die "net start $KV_DRIVER_SERVICE failed"

for _ in $(seq 1 40); do
    if kv_wine 30 "$probe" --scanner $((scanners - 1)) status >/dev/null 2>&1; then
        for ((n = 0; n < scanners; n++)); do
            if [ ${#settings[@]} -gt 0 ]; then
                kv_wine 30 "$probe" --scanner $n set "${settings[@]}" ||
                    kv_die "cannot apply the settings ${settings[*]} to scanner $n"
            fi
            if [ $n -lt "$still_image" ]; then
                echo "scanner-driver: \\\\.\\USBSCAN$n is up in $WINEPREFIX"
            fi
        done
        for letter in "${letters[@]}"; do
            echo "scanner-driver: the removable drive $letter: is up in $WINEPREFIX"
            echo "disk-letter=$letter"
        done
        exit 0
    fi
    sleep 0.5
done
kv_die "the driver started but its controls do not answer"
