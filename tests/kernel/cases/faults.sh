#!/bin/bash
# Faults of a device with a real device's conduct, one after the other on one device, each
# followed by the next job on the same device without a replug: the job must end with its
# status, and the next one must work. A device unplugged mid-job (the UDC unbound) must fail the
# job in bounded time and leave flash.bin as it was; after a replug the next job works.
#
#   faults.sh still-image|disk
#
# (After an unplug the next job runs on the still-image presentation only: it waits out the
# device-side lock the cut job left, about 20 s.)
set -uo pipefail
. "$KV_SOURCE/tests/kernel/case-lib.sh"
kind=$1
device=USBSCAN0
mismatch_at=0x00014064
[ "$kind" = disk ] && device=D: && mismatch_at=0x00005064

kv_random_file image.bin 70000
read_job=(read 0x4000 70000 back.bin)
update_job=(update image.bin)

# name|fault|job|status  (02-02-0b: a memory read's data transfer; 02-03-05: a firmware block;
# 02-01-0b: a get's first transfer; 02-02-06: the version's data transfer). A stalled status
# read is no failure: the device keeps its wrapper, and the host reads it once the halt is
# cleared.
still_image_cases=(
    "stall-on-read|data-fails@02-02-0b|read|4"
    "stall-on-write|data-fails@02-03-05|update|4"
    "read-refused|refused@02-02-0b|read|4"
    "block-refused|refused@02-03-05|update|4"
    "short-wrapper-over-refusal|csw-short-refused@02-03-05|update|4"
    "residue-under-good-status|residue@02-03-05|update|4"
    "data-short-under-good-status|data-short@02-02-0b|read|4"
    "wrapper-for-data|csw-for-data@02-02-0b|read|4"
    "first-transfer-short|first-transfer-short@02-01-0b|read|0"
    "stale-tag|stale-tag@02-02-06|version|4"
    "status-wrapper-lost|csw-fails@02-02-06|version|0"
)
disk_cases=(
    "read-refused|refused@02-02-0b|read|4"
    "block-refused|refused@02-03-05|update|4"
    "read-request-fails|data-fails@02-02-0b|read|4"
    "block-request-fails|data-fails@02-03-05|update|4"
    "transfer-length-short|transfer-length-short@02-03-05|update|4"
    "first-transfer-short|first-transfer-short@02-01-0b|read|0"
)
# On both: a memory that keeps a byte of the second block wrong while passing it; the update's
# verify finds it (status 9).
common_cases=(
    "verify-mismatch|corrupt-write=100@02-03-05#2|update|9"
)
unplug_cases=(
    "unplugged-mid-update|vanish@02-03-05#2|update|4"
    "unplugged-mid-read|vanish@02-02-0b#2|read|4"
)

job_args() {
    case $1 in
    read) echo "${read_job[@]}" ;;
    update) echo "${update_job[@]}" ;;
    version) echo version ;;
    esac
}

if [ "$kind" = disk ]; then cases=("${disk_cases[@]}"); else cases=("${still_image_cases[@]}"); fi
# One device meets every fault in turn, as a scanner on a bench would.
kv_gadget_up 0 "$kind" --real-conduct >/dev/null || { kv_fail "the $kind gadget came up"; kv_end; }
for entry in "${cases[@]}" "${common_cases[@]}" "${unplug_cases[@]}"; do
    IFS='|' read -r name fault job status <<<"$entry"
    echo "flash.bin of an earlier run" >back.bin
    cp back.bin before.bin
    kv_gadget_control 0 "mark $name" && kv_gadget_control 0 "fault $fault" ||
        { kv_fail "$name: the fault was armed"; continue; }
    # shellcheck disable=SC2046
    kv_cli "$name" "$status" --bound 60 -- --device "$device" $(job_args "$job")
    # The second block starts 64 KiB (still-image) or 4 KiB (disk) after 0x4000.
    [ "$name" = verify-mismatch ] &&
        kv_check "$name: the differing byte is named" grep -q \
            "differs from the image at $mismatch_at (expected .*); 1 byte differs" "$KV_OUT/$name.err"
    [ "$status" = 0 ] ||
        kv_same_bytes "$name: flash.bin kept" back.bin 0 "$(stat -c %s before.bin)" before.bin
    kv_gadget_control 0 clear
    case $fault in
    vanish*)
        # Pulled out: the next job needs the device plugged in again. It waits out the lock
        # that the cut job left on the device (the protocol's stale-lock wait).
        kv_gadget_replug 0 >/dev/null || { kv_fail "$name: replugged"; continue; }
        [ "$name" = unplugged-mid-update ] && [ "$kind" = still-image ] &&
            kv_cli "$name-next-job-after-replug" 0 --bound 60 -- --device "$device" version
        ;;
    *) kv_cli "$name-next-job" 0 --bound 60 -- --device "$device" version ;;
    esac
done
kv_gadget_down 0
kv_end
