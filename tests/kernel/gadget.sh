# The simulated scanner as real USB devices inside a kernel-e2e guest. Sourced by case scripts
# that run as root in the guest's root (configfs at /sys/kernel/config; KV_BUILD and KV_OUT set
# by the guest's runner):
#
#   kv_gadgets K                        dummy_hcd with K device controllers (if not loaded yet)
#   kv_gadget_up INDEX PRESENTATION [kelvane-gadget options...]
#                                       gadget kvINDEX on dummy_udc.INDEX, still-image or disk;
#                                       returns once the host has enumerated it, and prints the
#                                       device it became (KV_GADGET_NODE[INDEX] holds it)
#   kv_gadget_unplug INDEX              unbinds the UDC: the device is pulled out
#   kv_gadget_replug INDEX              binds it again and waits for the device
#   kv_gadget_control INDEX COMMAND     gives the running gadget a command (fault TEXT, clear,
#                                       mark TEXT) and returns once it was applied
#   kv_gadget_down INDEX                ends kelvane-gadget (it writes its memory dump) and
#                                       takes the gadget apart
#
# Per gadget, KV_OUT holds gadgetINDEX.log (one line per command block the device received),
# gadgetINDEX.err (the program's own messages) and, after kv_gadget_down, memoryINDEX.bin (the
# scanner's whole memory image).
#
# The scanner's memory is KV_GADGET_MEMORY bytes (default 1 MiB: the dump is written at the end).
# Every wait is bounded (KV_GADGET_PATIENCE seconds, default 60: the guest's emulated CPU is
# slow); a function that fails says why on standard error and returns nonzero.

KV_GADGET=${KV_GADGET:-$KV_BUILD/sim/gadget/kelvane-gadget}
KV_GADGET_PATIENCE=${KV_GADGET_PATIENCE:-60}
kv_gadget_configfs=/sys/kernel/config/usb_gadget
declare -ga KV_GADGET_PID=() KV_GADGET_NODE=() KV_GADGET_KIND=()

kv_gadget_say() { echo "gadget: $*" >&2; }

# Runs "$@" every tenth of a second until it succeeds; false after the patience ran out.
kv_gadget_wait() {
    local tries=$((KV_GADGET_PATIENCE * 10))
    while ! "$@"; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || return 1
        sleep 0.1
    done
}

kv_gadgets() {
    local k=$1
    if [ -d /sys/module/dummy_hcd ]; then
        local have
        have=$(cat /sys/module/dummy_hcd/parameters/num 2>/dev/null || echo 1)
        [ "$have" -ge "$k" ] && return 0
        kv_gadget_say "dummy_hcd is loaded with $have controllers, not $k"
        return 1
    fi
    modprobe dummy_hcd "num=$k" || { kv_gadget_say "cannot load dummy_hcd num=$k"; return 1; }
}

# Writes a value to a configfs attribute.
kv_gadget_set() {
    printf '%s\n' "$2" >"$1" || { kv_gadget_say "cannot write '$2' to $1"; return 1; }
}

# The device that gadget INDEX became, in KV_GADGET_NODE[INDEX]; false while there is none.
kv_gadget_found() {
    local index=$1 dir real node
    KV_GADGET_NODE[$index]=""
    if [ "${KV_GADGET_KIND[$index]}" = disk ]; then
        for dir in /sys/block/sd*; do
            [ -e "$dir/device" ] || continue
            real=$(readlink -f "$dir/device")
            [[ $real == */dummy_hcd.$index/* ]] || continue
            [ "$(cat "$dir/removable" 2>/dev/null)" = 1 ] || continue
            node=/dev/${dir##*/}
            [ -b "$node" ] || continue
            KV_GADGET_NODE[$index]=$node
            return 0
        done
        return 1
    fi
    for dir in /sys/devices/platform/dummy_hcd.$index/usb*/*-*; do
        [ -f "$dir/idVendor" ] && [ -f "$dir/busnum" ] && [ -f "$dir/devnum" ] || continue
        # Configured: its interface is there.
        compgen -G "$dir/*:1.0" >/dev/null || continue
        node=$(printf '/dev/bus/usb/%03d/%03d' "$(<"$dir/busnum")" "$(<"$dir/devnum")")
        [ -c "$node" ] || continue
        KV_GADGET_NODE[$index]=$node
        return 0
    done
    return 1
}

kv_gadget_enumerated() {
    local index=$1
    if ! kv_gadget_wait kv_gadget_found "$index"; then
        kv_gadget_say "kv$index (${KV_GADGET_KIND[$index]}) was not enumerated within" \
            "$KV_GADGET_PATIENCE s"
        return 1
    fi
    echo "gadget: kv$index (${KV_GADGET_KIND[$index]}) is ${KV_GADGET_NODE[$index]}"
}

kv_gadget_up() {
    local index=$1 kind=$2
    shift 2
    case $kind in
    still-image | disk) ;;
    *) kv_gadget_say "unknown presentation '$kind'"; return 2 ;;
    esac
    local g=$kv_gadget_configfs/kv$index ffs=/run/kv-ffs$index ready=/run/kv-gadget$index.ready
    if [ -e "$g" ]; then
        kv_gadget_say "kv$index exists already"
        return 1
    fi
    [ -x "$KV_GADGET" ] || { kv_gadget_say "no program $KV_GADGET"; return 1; }
    [ -d /sys/devices/platform/dummy_hcd.$index ] ||
        { kv_gadget_say "no dummy_hcd.$index (kv_gadgets $((index + 1)))"; return 1; }
    KV_GADGET_KIND[$index]=$kind
    mkdir "$g" "$g/strings/0x409" "$g/configs/c.1" "$g/configs/c.1/strings/0x409" \
        "$g/functions/ffs.kv$index" || { kv_gadget_say "cannot make $g"; return 1; }
    kv_gadget_set "$g/strings/0x409/manufacturer" "Kelvane" &&
        kv_gadget_set "$g/strings/0x409/product" "Simulated scanner" &&
        kv_gadget_set "$g/strings/0x409/serialnumber" "KV$index" &&
        kv_gadget_set "$g/configs/c.1/strings/0x409/configuration" "scanner" &&
        ln -s "$g/functions/ffs.kv$index" "$g/configs/c.1/" || return 1
    mkdir -p "$ffs" && mount -t functionfs "kv$index" "$ffs" ||
        { kv_gadget_say "cannot mount functionfs kv$index"; return 1; }
    rm -f "$ready" "/run/kv-control$index"
    "$KV_GADGET" --ffs "$ffs" --presentation "$kind" --udc-file "$g/UDC" \
        --log "$KV_OUT/gadget$index.log" --dump "$KV_OUT/memory$index.bin" --ready "$ready" \
        --control "/run/kv-control$index" --memory-size "${KV_GADGET_MEMORY:-0x100000}" "$@" \
        2>"$KV_OUT/gadget$index.err" &
    KV_GADGET_PID[$index]=$!
    kv_gadget_ready() { [ -s "$ready" ] || ! kill -0 "${KV_GADGET_PID[$index]}" 2>/dev/null; }
    kv_gadget_wait kv_gadget_ready
    if ! [ -s "$ready" ]; then
        kv_gadget_say "kelvane-gadget did not get ready:"
        cat "$KV_OUT/gadget$index.err" >&2
        return 1
    fi
    # The ids are the scanner model's own, as the program reports them.
    local vendor product bcd
    read -r vendor product bcd <"$ready"
    kv_gadget_set "$g/idVendor" "0x$vendor" && kv_gadget_set "$g/idProduct" "0x$product" &&
        kv_gadget_set "$g/bcdDevice" "0x$bcd" && kv_gadget_set "$g/bcdUSB" 0x0200 || return 1
    kv_gadget_set "$g/UDC" "dummy_udc.$index" || return 1
    kv_gadget_enumerated "$index"
}

kv_gadget_unplug() {
    local index=$1
    kv_gadget_set "$kv_gadget_configfs/kv$index/UDC" ""
}

kv_gadget_replug() {
    local index=$1
    kv_gadget_set "$kv_gadget_configfs/kv$index/UDC" "dummy_udc.$index" &&
        kv_gadget_enumerated "$index"
}

kv_gadget_control() {
    local index=$1 command=$2 log=$KV_OUT/gadget$1.log
    local before
    before=$(grep -c -xF "# $command" "$log")
    printf '%s\n' "$command" >"/run/kv-control$index" || return 1
    kv_gadget_applied() {
        grep -q -F "# refused $command:" "$log" && return 0
        [ "$(grep -c -xF "# $command" "$log")" -gt "$before" ]
    }
    if ! kv_gadget_wait kv_gadget_applied || grep -q -F "# refused $command:" "$log"; then
        kv_gadget_say "kv$index did not apply '$command'"
        return 1
    fi
}

kv_gadget_down() {
    local index=$1
    local g=$kv_gadget_configfs/kv$index pid=${KV_GADGET_PID[$index]:-} status=0
    if [ -n "$pid" ]; then
        kill -TERM "$pid" 2>/dev/null
        kv_gadget_gone() { ! kill -0 "$pid" 2>/dev/null; }
        if ! kv_gadget_wait kv_gadget_gone; then
            kv_gadget_say "kelvane-gadget kv$index did not end on SIGTERM; killed"
            kill -KILL "$pid" 2>/dev/null
            status=1
        fi
        wait "$pid" || { kv_gadget_say "kelvane-gadget kv$index ended with status $?"; status=1; }
        KV_GADGET_PID[$index]=""
    fi
    if [ -d "$g" ]; then
        # Its program's end unbinds the UDC already; an error here is no failure.
        printf '\n' >"$g/UDC" 2>/dev/null
        rm -f "$g/configs/c.1/ffs.kv$index"
        umount "/run/kv-ffs$index" 2>/dev/null
        rmdir "$g/configs/c.1/strings/0x409" "$g/configs/c.1" "$g/functions/ffs.kv$index" \
            "$g/strings/0x409" "$g" || { kv_gadget_say "cannot take $g apart"; status=1; }
    fi
    return $status
}
