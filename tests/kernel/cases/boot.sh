#!/bin/bash
# The guest itself, before any gadget: the modules the tier needs are loaded, configfs and the
# device controllers are there, devtmpfs filled /dev, modprobe reaches the guest kernel's
# modules, the host's root is read-only while /tmp, /run/lock and KV_OUT are writable, and a
# program of the build tree runs with its shared libraries.
#
#   boot.sh                              in the guest: the checks above
#   boot.sh --exit N | --hang | --crash  in the guest: end with N, never end, panic the kernel
#   boot.sh --host-check OUT BUILD       on the host: what the guest of the first form left
#   boot.sh --runner-check BUILD OUTS    on the host: the runner reports the guests of the
#                                        second form as it should (folders below OUTS)
set -uo pipefail
failures=0
check() {
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}

in_guest() {
    local module cli_status
    for module in configfs libcomposite usb_f_fs dummy_hcd udc_core usb_storage sd_mod sg 9p \
        9pnet_virtio virtio_pci; do
        check "module $module" test -d "/sys/module/$module"
    done
    check "configfs holds usb_gadget" test -d /sys/kernel/config/usb_gadget
    check "two device controllers" test -e /sys/class/udc/dummy_udc.0 -a -e /sys/class/udc/dummy_udc.1
    check "/dev/null is a character device" test -c /dev/null
    check "devtmpfs made the root hubs' usbfs nodes" \
        test -c /dev/bus/usb/001/001 -a -c /dev/bus/usb/002/001
    check "modprobe loads a module outside the initramfs" modprobe usb_f_ss_lb
    check "... and it is loaded" test -d /sys/module/usb_f_ss_lb
    check "the host's root is read-only" bash -c '! touch /kv-guest-probe'
    check "/tmp is writable" touch /tmp/probe
    check "/run/lock exists and is writable" touch /run/lock/probe
    check "the build folder is visible" test -d "$KV_BUILD" -a -d "$KV_SOURCE/scripts"
    # A build-tree program (AddressSanitizer, shared libraries) runs: with no scanner it says
    # so with status 2.
    "$KV_BUILD/cli/kelvane-cli" list >/tmp/list.txt 2>&1
    cli_status=$?
    check "kelvane-cli runs and finds no device (status $cli_status)" test $cli_status -eq 2
    [ $cli_status -eq 2 ] || cat /tmp/list.txt
    {
        echo "release $(uname -r)"
        echo "uid $(id -u)"
    } >"$KV_OUT/boot.txt"
    check "KV_OUT is writable" test -s "$KV_OUT/boot.txt"
}

host_check() {
    local out=$1 release
    release=$(<"$2/kernel/release")
    check "the guest's record reached the host" test -f "$out/boot.txt"
    check "the guest ran the fetched kernel ($release)" grep -qx "release $release" "$out/boot.txt"
    check "the case ran as root" grep -qx "uid 0" "$out/boot.txt"
    check "the guest's kernel log was kept" grep -q "dummy_hcd" "$out/dmesg"
}

runner_check() {
    local build=$1 outs=$2 runner
    runner=$(dirname "$0")/../../../scripts/kernel-guest.sh
    # mode, time bound, the runner's status
    local -a cases=("--exit 3" 60 3 "--crash" 60 125 "--hang" 8 124)
    local i mode bound want status
    for ((i = 0; i < ${#cases[@]}; i += 3)); do
        mode=${cases[i]} bound=${cases[i + 1]} want=${cases[i + 2]}
        bash "$runner" --build "$build" --timeout "$bound" --clean --out "$outs/${mode#--}" \
            -- "$0" $mode >"$outs/${mode#--}.log" 2>&1
        status=$?
        check "a guest of $mode ends the runner with $want (it said $status)" test $status -eq "$want"
        [ $status -eq "$want" ] || tail -n 20 "$outs/${mode#--}.log"
    done
    check "no guest is left running" bash -c '! pgrep -f "path=$1/hang,mount_tag=out" >/dev/null' _ \
        "$outs"
}

case ${1:-} in
"") in_guest ;;
--exit) exit "$2" ;;
--hang) sleep infinity ;;
--crash) echo c >/proc/sysrq-trigger ;;
--host-check) host_check "$2" "$3" ;;
--runner-check) mkdir -p "$3" && runner_check "$2" "$3" ;;
*) echo "boot.sh: unknown mode $1" >&2; exit 2 ;;
esac
exit $((failures > 0))
