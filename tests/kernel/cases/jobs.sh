#!/bin/bash
# The four jobs and the device list on one presentation of the scanner (still-image or disk),
# through the real kernel: usbfs and libusb, or usb-storage, sd and SG_IO. The update's image
# must then be the device's memory, and the read-back must equal it.
#
#   jobs.sh still-image|disk
set -uo pipefail
. "$KV_SOURCE/tests/kernel/case-lib.sh"
kind=$1
device=USBSCAN0
[ "$kind" = disk ] && device=D:
image_bytes=200000
firmware_base=$((0x4000))

kv_gadget_up 0 "$kind" || { kv_fail "the $kind gadget came up"; kv_end; }

kv_cli list 0 -- list
kv_check "the list names the $kind device" grep -q "$kind" "$KV_OUT/list.out"
kv_cli version 0 -- --device "$device" version --result "$KV_WORK/result2.ini"
kv_check "the version reached the result file" grep -q "^version=." "$KV_WORK/result2.ini"
kv_cli calibrate 0 -- --device "$device" calibrate

kv_random_file image.bin $image_bytes
kv_cli update 0 -- --device "$device" update image.bin
kv_cli read 0 -- --device "$device" read $firmware_base $image_bytes back.bin
kv_same_bytes "the read-back equals the image" back.bin 0 $image_bytes image.bin

kv_gadget_down 0
kv_same_bytes "the device's memory holds the image" "$KV_OUT/memory0.bin" $firmware_base \
    $image_bytes image.bin
kv_end
