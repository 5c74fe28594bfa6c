# kelvane-sim.exe with a scanner that lies once (KV_SIM_LIE): a refused block or memory read
# answered with a 12-byte status wrapper, half a block or half a memory read moved under a good
# status. Each lie ends in "Update FW fail." or "Upload fail!" with flash.bin as it was; the same
# device, honest again, then does the job.

# An image of two blocks (64 KiB and a short one) and a read-back of two memory reads.
lie_image() {
    head -c 100001 /dev/urandom >image.bin
}

# An update meets the lie on its second firmware block and fails; the next update, the device
# honest again, succeeds and reads back as the image.
update_meets_lie() {
    lie_image
    KV_SIM_LIE=$1 operate update kelvane-sim.exe <<SCRIPT
$(script_update 'Update FW fail.' 1)
$(script_update 'Update FW Ok.' 2)
$(script_read_back 0x4000 100001 'Upload OK!' 3)
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    # The lie's update showed its failure first, before the honest one's success.
    [ "$(grep -m1 '^status:' "$out")" = "status: Update FW fail." ] ||
        fail "the first update did not end in its failure"
    cmp image.bin flash.bin || fail "flash.bin differs from the image sent the second time"
    saw "exit: 0"
}

# A read-back meets the lie on its second memory read and fails, leaving the older flash.bin as
# it was; a read-back from the honest device then writes the memory.
read_back_meets_lie() {
    printf 'OLD DUMP' >flash.bin
    KV_SIM_LIE=$1 operate lie kelvane-sim.exe <<SCRIPT
$(script_read_back 0 100000 'Upload fail!' 1)
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "exit: 0"
    file_holds flash.bin 'OLD DUMP'

    read_back_holds_memory honest
}

# kelvane-sim.exe (run as NAME) reads 100000 bytes from 0 into flash.bin, which then holds the
# scanner's memory as it was never written.
read_back_holds_memory() {
    operate "$1" kelvane-sim.exe <<SCRIPT
$(script_read_back 0 100000 'Upload OK!' 1)
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    run_wine "$KV_PATTERN_CHECK" flash.bin 0 100000 >pattern.out 2>&1 ||
        fail "$(tr -d '\r' <pattern.out)"
    saw "exit: 0"
}

# The device refuses the second block and sends a status wrapper of 12 bytes: a fresh tag, but
# the status byte never comes.
case_sim_lie_refused_block_short_status() {
    update_meets_lie csw-short-refused=12@02-03-05#2
}

# The device takes half the second block's bytes and passes it, with the residue set.
case_sim_lie_half_block() {
    update_meets_lie data-short@02-03-05#2
}

# In the second transfer of the second memory read the device delivers half the bytes and
# passes it, with the residue set.
case_sim_lie_half_memory_read() {
    read_back_meets_lie data-short@02-02-0b#2
}

# The device refuses the second memory read with no data and a status wrapper of 12 bytes.
case_sim_lie_refused_memory_read_short_status() {
    read_back_meets_lie csw-short-refused=12@02-02-0b#2
}

# A get's first transfer only asks the device to prepare: when the second memory read's first
# transfer comes back short, the read-back still succeeds and flash.bin holds the memory.
case_sim_short_first_transfer_succeeds() {
    KV_SIM_LIE=first-transfer-short@02-01-0b#2 read_back_holds_memory first
}

# A lie the simulated scanner does not know stops the program before its window, naming the
# variable and the lies it knows.
case_sim_lie_unknown() {
    KV_SIM_LIE=stale operate unknown kelvane-sim.exe <<'SCRIPT'
read-messagebox 60000
close-messagebox
wait-exit
SCRIPT
    saw "errorbox: kelvane-sim|KV_SIM_LIE: unknown lie 'stale' (known: csw-short-refused, residue, data-short, csw-for-data, first-transfer-short, transfer-length-short, data-fails, refused, stale-tag, csw-fails, vanish, corrupt-write)"
    saw "exit: 2"
}
