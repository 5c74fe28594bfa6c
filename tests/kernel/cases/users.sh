#!/bin/bash
# Two users of one machine on one scanner: root and an unprivileged user given the device node
# (and, on the disk, the right to send vendor commands through SG_IO, CAP_SYS_RAWIO) take turns (an update and version queries at once, both finishing), while the
# unprivileged user has planted links and FIFOs where root's jobs might trip on them: the old
# lock names in /run/lock and the files of a shared folder. Nothing planted is followed, waited
# on or has its mode changed.
#
#   users.sh still-image|disk
set -uo pipefail
. "$KV_SOURCE/tests/kernel/case-lib.sh"
kind=$1
device=USBSCAN0
if [ "$kind" = disk ]; then
    device=D:
    KV_USER_CAPS=(--inh-caps=+sys_rawio --ambient-caps=+sys_rawio)
fi
user=65534
shared=/tmp/shared
image_bytes=200000

kv_gadget_up 0 "$kind" || { kv_fail "the gadget came up"; kv_end; }
node=${KV_GADGET_NODE[0]}
chown "$user" "$node"

# Root's file that the other user must not reach through root.
secret=/run/root-secret
echo "root's" >"$secret" && chmod 600 "$secret"
mkdir -m 1777 "$shared"
as_user() { setpriv --reuid=$user --regid=$user --clear-groups "$@"; }
for name in 'Global\Kelvane.CommandFrame' ZAMOUSB_EVENT_u ZAMOUSB_EVENT_sda; do
    as_user ln -s "$secret" "/run/lock/$name.lock"
    as_user mkfifo "/run/lock/$name.queue"
done
as_user ln -s "$secret" "$shared/flash.bin"
as_user ln -s "$secret" "$shared/result2.ini"
as_user mkfifo "$shared/fifo.bin"
kv_random_file image.bin $image_bytes
as_user ln -s "$KV_WORK/image.bin" "$shared/image.bin"

# Root updates while the user asks for the version three times.
kv_cli update 0 -- --device "$device" update image.bin &
root_job=$!
user_status=0
for turn in 1 2 3; do
    kv_cli "user-version-$turn" 0 --as $user -- --device "$device" version || user_status=1
done
wait $root_job || kv_fail "root's update while the user asked for the version"
kv_check "each user's jobs finished" test $user_status -eq 0
kv_cli "user-read" 0 --as $user -- --device "$device" read 0x4000 $image_bytes /tmp/user-back.bin
kv_same_bytes "the user's read-back equals root's image" /tmp/user-back.bin 0 $image_bytes image.bin

# Root's jobs meet the planted files: links and FIFOs are refused at once.
kv_cli fifo-image 3 --bound 30 -- --device "$device" update "$shared/fifo.bin"
kv_cli linked-image 3 --bound 30 -- --device "$device" update "$shared/image.bin"
kv_cli linked-flash-bin 7 --bound 30 -- --device "$device" read 0x4000 16 "$shared/flash.bin"
kv_cli linked-result 6 --bound 30 -- --device "$device" version --result "$shared/result2.ini"
kv_check "root's file kept its mode" test "$(stat -c %a "$secret")" = 600
kv_check "root's file kept its content" test "$(cat "$secret")" = "root's"
kv_check "the planted links are still links" test -L "$shared/flash.bin" -a -L "$shared/result2.ini"
kv_check "the planted FIFO is still a FIFO" test -p "$shared/fifo.bin"

kv_gadget_down 0
kv_same_bytes "the device's memory holds the image" "$KV_OUT/memory0.bin" $((0x4000)) \
    $image_bytes image.bin
kv_end
