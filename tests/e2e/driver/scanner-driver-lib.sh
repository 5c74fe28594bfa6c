# Shared helpers of the scanner driver scripts (sourced, not run).
# Every Wine call is bounded by a time-out so that no script can wait forever.

KV_DRIVER_SERVICE=KelvaneScanner
KV_DRIVER_FILE=kelvane-scanner.sys
KV_DEVICE_NAME='\\.\USBSCAN0'

kv_die() {
    echo "scanner-driver: $*" >&2
    exit 2
}

. "$(dirname "${BASH_SOURCE[0]}")/../../../scripts/wine-lib.sh"

# Headless, quiet Wine in PREFIX.
kv_wine_env() {
    WINEPREFIX=$(realpath -m "$1")
    export WINEPREFIX
    kv_wine_quiet
}

# wine with a time-out in seconds: kv_wine SECONDS PROGRAM ARGS...
kv_wine() {
    local seconds=$1
    shift
    timeout --kill-after=5 "$seconds" wine "$@"
}

# Makes the prefix, if it is not there yet, a copy of BUILD_DIR's template prefix.
# kv_ensure_prefix BUILD_DIR
kv_ensure_prefix() {
    if [ -f "$WINEPREFIX/.kv-ready" ]; then return 0; fi
    local template
    template=$(kv_wine_template "$1") || kv_die "cannot boot the template prefix of $1"
    kv_wine_copy "$template" "$WINEPREFIX" || kv_die "cannot copy the template prefix to $WINEPREFIX"
}

# The built file NAME below BUILD_DIR: sim/driver/NAME in a whole-tree build, else the first
# match anywhere below it.
kv_find_built() {
    local build=$1 name=$2 found
    if [ -f "$build/sim/driver/$name" ]; then
        echo "$build/sim/driver/$name"
        return 0
    fi
    found=$(find "$build" -name "$name" -type f -print -quit 2>/dev/null)
    [ -n "$found" ] || kv_die "no $name below $build; build kv_scanner_driver and scanner_probe"
    echo "$found"
}

# The first drive letter from K that the prefix does not use yet, other than the (upper-case)
# letters given: kv_free_drive_letter [TAKEN...]
kv_free_drive_letter() {
    local letter
    for letter in k l m n o p q r s t u v w x y; do
        [[ " $* " == *" ${letter^^} "* ]] && continue
        if [ ! -e "$WINEPREFIX/dosdevices/$letter:" ] && [ ! -L "$WINEPREFIX/dosdevices/$letter:" ]; then
            echo "$letter"
            return 0
        fi
    done
    return 1
}
