# kelvane.exe against a scanner that lies, on both paths: the driver hosting the scanner commits
# one fault from its fault table (scanner-probe faults), and the tool must report the job as
# failed and leave flash.bin exactly as it was. Each case first checks in the driver's exchange
# log that the lie was really told, then what the tool made of it. A short first transfer of a
# get is no lie (it only asks the device to prepare): that job still succeeds.
#
# The cases need the device link's checks of whole status wrappers and whole data phases; the
# driver's half of each case (the lie is told and logged) holds without them.

# The flash.bin that a job must leave alone, and a copy to compare with.
plant_flash_bin() {
    head -c 5000 /dev/urandom >flash.bin
    cp flash.bin flash-before.bin
}

flash_bin_kept() {
    cmp -s flash.bin flash-before.bin || fail "flash.bin was changed"
}

# The driver's log holds a record matching the extended regular expression.
lie_logged() {
    probe log
    echo "$probe_out" >exchanges.log
    grep -Eq -- "$1" exchanges.log || fail "the driver told no such lie: /$1/ (see exchanges.log)"
    scanner_status_has ' faults=1 '
}

# The window updates the firmware from a picked image of SIZE bytes and waits for the status
# TEXT; the operator's exit status goes to $job_status, judged by job_ended_with once the
# driver's side has been checked.
window_update() {
    local size=$1 text=$2
    head -c "$size" /dev/urandom >image.bin
    operate window kelvane.exe <<SCRIPT
$(script_update "$text" 1)
close
wait-exit
SCRIPT
    job_status=$?
}

# The window reads 300000 bytes from 0x4000 (five reads of 64 KiB or less) and waits for the
# status TEXT, as window_update does.
window_read_back() {
    operate window kelvane.exe <<SCRIPT
$(script_read_back 0x4000 300000 "$1" 1)
close
wait-exit
SCRIPT
    job_status=$?
}

# The job showed TEXT and the program ended normally.
job_ended_with() {
    [ "$job_status" -eq 0 ] || fail "the window never showed '$1'"
    saw "status: $1"
    saw "exit: 0"
}

# --- The still-image path --------------------------------------------------------------------

# The second firmware block is refused and its CSW stops at 12 bytes, before the status byte.
case_lie_block_refused_short_csw() {
    start_scanner
    probe faults short-csw:020305:2:12
    plant_flash_bin
    window_update 300000 'Update FW fail.'
    lie_logged ' cdb=C5070000000000010000020305000000 .* status=1 .* path=still-image fault=2 csw=12 '
    job_ended_with 'Update FW fail.'
    flash_bin_kept
}

# The device takes half of the second block (WriteFile completes with half the count) and
# reports status 0 with the residue set.
case_lie_block_half_taken() {
    start_scanner
    probe faults short-data:020305:2
    plant_flash_bin
    window_update 300000 'Update FW fail.'
    lie_logged ' cdb=C5070000000000010000020305000000 .* moved=32768 status=0 .* fault=3 csw=13 reported=32768 '
    job_ended_with 'Update FW fail.'
    flash_bin_kept
}

# The second transfer of the second memory read delivers half its bytes under status 0.
case_lie_read_half_delivered() {
    start_scanner
    probe faults short-data:02020B:2
    plant_flash_bin
    window_read_back 'Upload fail!'
    lie_logged ' cdb=C507000000000001000002020B000000 .* moved=32768 status=0 .* fault=3 csw=13 reported=32768 '
    job_ended_with 'Upload fail!'
    flash_bin_kept
}

# The second memory read is refused with no data and a CSW of 12 bytes.
case_lie_read_refused_short_csw() {
    start_scanner
    probe faults short-csw:02020B:2:12
    plant_flash_bin
    window_read_back 'Upload fail!'
    lie_logged ' cdb=C507000000000001000002020B000000 .* moved=0 status=1 .* fault=2 csw=12 '
    job_ended_with 'Upload fail!'
    flash_bin_kept
}

# The first transfer of the second memory read comes back short: no lie, the read succeeds and
# flash.bin holds the device's memory.
case_lie_short_first_transfer_still_image() {
    start_scanner
    probe faults short-data:02010B:2
    window_read_back 'Upload OK!'
    lie_logged ' cdb=C507000000000001000002010B000000 .* moved=32768 status=0 .* fault=3 '
    job_ended_with 'Upload OK!'
    probe memory 0x4000 300000 memory.bin
    cmp flash.bin memory.bin || fail "flash.bin differs from the scanner's memory"
}

# --- The disk path ---------------------------------------------------------------------------

# The second 4096-byte block moves half its bytes with SCSI status 0 and a DataTransferLength of
# 2048 written back.
case_lie_disk_block_half_moved() {
    start_disk_scanner
    probe faults short-data:020305:2
    plant_flash_bin
    window_update 20000 'Update FW fail.'
    lie_logged ' cdb=C5070000000000001000020305000000 .* moved=2048 status=0 .* path=disk fault=3 csw=0 reported=2048 '
    job_ended_with 'Update FW fail.'
    flash_bin_kept
}

# The second memory read moves half its bytes with SCSI status 0 and the smaller length.
case_lie_disk_read_half_moved() {
    start_disk_scanner
    probe faults short-data:02020B:2
    plant_flash_bin
    window_read_back 'Upload fail!'
    lie_logged ' cdb=C507000000000001000002020B000000 .* moved=32768 status=0 .* path=disk fault=3 csw=0 reported=32768 '
    job_ended_with 'Upload fail!'
    flash_bin_kept
}

case_lie_short_first_transfer_disk() {
    start_disk_scanner
    probe faults short-data:02010B:2
    window_read_back 'Upload OK!'
    lie_logged ' cdb=C507000000000001000002010B000000 .* moved=32768 status=0 .* path=disk fault=3 '
    job_ended_with 'Upload OK!'
    probe memory 0x4000 300000 memory.bin
    cmp flash.bin memory.bin || fail "flash.bin differs from the scanner's memory"
}
