#!/bin/bash
# One update on four scanners at once (`--all`), one of which keeps a byte of the image wrong:
# the three others end with their image in memory, the liar with a verify mismatch, and the run
# with status 10 and each scanner's own status in its table. The run's time is set against one
# scanner's update alone, in the summary.
#
#   station.sh still-image|disk
#
# Disks have service events of their own, so their jobs overlap; still-image scanners share one
# event and take turns at each data call unless --own-events names one per scanner.
set -uo pipefail
. "$KV_SOURCE/tests/kernel/case-lib.sh"
kind=$1
image_bytes=200000
firmware_base=$((0x4000))
liar=2
own_events=()
[ "$kind" = still-image ] && own_events=(--own-events)

kv_gadgets 4 || { kv_fail "four gadget controllers"; kv_end; }
for i in 0 1 2 3; do
    kv_gadget_up $i "$kind" || { kv_fail "gadget $i came up"; kv_end; }
done
kv_gadget_control $liar "fault corrupt-write=100@02-03-05#2" ||
    kv_fail "the liar took its fault"

kv_random_file image.bin $image_bytes
kv_cli list 0 -- list
kv_check "the list names four scanners" test "$(grep -c "$kind" "$KV_OUT/list.out")" -eq 4

start=$EPOCHREALTIME
kv_cli one 0 -- --device "$(sed -n 1p "$KV_OUT/list.out" | cut -f1)" "${own_events[@]}" \
    update image.bin
one=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
start=$EPOCHREALTIME
kv_cli all 10 --bound 240 -- "${own_events[@]}" --all update image.bin
all=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
echo "wall time: one scanner $one s, four at once $all s" >>"$KV_OUT/summary"

kv_check "the table has three successes" test "$(grep -c ' 0 done ' "$KV_OUT/all.out")" -eq 3
kv_check "the table has the liar's mismatch" grep -q ' 9 verify mismatch ' "$KV_OUT/all.out"
kv_check "the summary line counts them" grep -q '^Succeeded 3, Failed 1, Active 0' "$KV_OUT/all.out"
kv_check "progress lines name their scanner" grep -q ': kelvane-cli: writing 100% ' "$KV_OUT/all.err"

for i in 0 1 2 3; do kv_gadget_down $i; done
for i in 0 1 3; do
    kv_same_bytes "scanner $i holds the image" "$KV_OUT/memory$i.bin" $firmware_base \
        $image_bytes image.bin
done
kv_check "the liar's memory differs" \
    bash -c "! cmp -s -n $image_bytes -i $firmware_base:0 '$KV_OUT/memory$liar.bin' image.bin"
kv_end
