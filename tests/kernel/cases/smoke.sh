#!/bin/bash
# Both presentations of the simulated scanner as real USB devices at once, a still-image device
# on dummy_udc.0 and a removable disk on dummy_udc.1: kelvane-cli lists both and reads the
# version through each, over usbfs with libusb and through usb-storage, sd and SG_IO.
set -uo pipefail
. "$KV_SOURCE/tests/kernel/gadget.sh"
cli=$KV_BUILD/cli/kelvane-cli
failures=0

# run NAME ARGS...: kelvane-cli ARGS, bounded, its output in KV_OUT/NAME.out and .err; a
# failure unless it ends with status 0.
run() {
    local name=$1 status started=$SECONDS
    shift
    timeout --kill-after=5 60 "$cli" "$@" >"$KV_OUT/$name.out" 2>"$KV_OUT/$name.err"
    status=$?
    echo "kelvane-cli $* -> status $status in $((SECONDS - started)) s"
    if [ $status -ne 0 ]; then
        echo "FAILED: kelvane-cli $*"
        cat "$KV_OUT/$name.out" "$KV_OUT/$name.err"
        failures=$((failures + 1))
    fi
}
expect() {
    local what=$1
    shift
    "$@" >/dev/null 2>&1 && return
    echo "FAILED: $what"
    failures=$((failures + 1))
}

kv_gadgets 2 || exit 1
# A small memory: no job here touches it, and each gadget's dump at the end then takes a moment
# instead of seconds of emulated CPU.
kv_gadget_up 0 still-image --memory-size 0x100000 || exit 1
kv_gadget_up 1 disk --memory-size 0x100000 || exit 1

run list list
expect "the list names the still-image device" grep -q 'USBSCAN0.*still-image' "$KV_OUT/list.out"
expect "the list names the disk" grep -q 'D:.*disk' "$KV_OUT/list.out"
cat "$KV_OUT/list.out"
for device in USBSCAN0 D:; do
    name=version-${device%:}
    run "$name" --device "$device" version
    expect "$device gave a version" test -s "$KV_OUT/$name.out"
    echo "version through $device: $(cat "$KV_OUT/$name.out")"
done

kv_gadget_down 0 || failures=$((failures + 1))
kv_gadget_down 1 || failures=$((failures + 1))
exit $((failures > 0))
