# kelvane-cli.exe, the Windows console program, against the scanner hosted as a Wine driver
# (cli-lib.sh runs it; start_scanner and probe come from cases-driver.sh). These cases open no
# window and take no display.

# The driver's drive letters, in scanner order, into disk_letters.
read_disk_letters() {
    mapfile -t disk_letters < <(sed -n 's/^disk-letter=//p' driver-start.log)
    [ ${#disk_letters[@]} -eq "$1" ] ||
        fail "the driver named ${#disk_letters[@]} drive letters, not $1: $(cat driver-start.log)"
}

# An update of a SIZE-byte image.bin on DEVICE that verifies: status 0, the job's three lines
# on standard output, only progress on standard error, and the scanner's memory equal to the
# image.
update_verifies() {
    local device=$1 size=$2
    head -c "$size" /dev/urandom >image.bin
    cli_run update --device "$device" update image.bin
    cli_exited 0
    cli_stdout_is 'Connect to Device Success!' 'Update FW Ok.' \
        "Verify OK: the device's memory from 0x00004000 holds the image's $size bytes."
    cli_stderr_is
    cli_progress_shown writing
    cli_progress_shown verifying
    probe memory 0x4000 "$size" memory.bin
    cmp image.bin memory.bin || fail "the scanner's memory differs from the image sent"
}

# The scanner keeps byte OFFSET of the first firmware block wrong (the simulator's lie text): the
# update on DEVICE ends with status 9 and names that byte, the device's memory differs from the
# image there only, and the next job on the same device (the version) ends with 0.
update_verify_mismatch() {
    local device=$1 offset=1234
    head -c 200000 /dev/urandom >image.bin
    probe faults "corrupt-write=$offset@02-03-05#1"
    cli_run update --device "$device" update image.bin
    cli_exited 9
    local address expected found
    address=$(printf '0x%08X' $((0x4000 + offset)))
    expected=$(byte_at image.bin $offset)
    found=$(printf '%02X' $((0x$expected ^ 0xFF)))
    cli_stdout_is 'Connect to Device Success!'
    cli_stderr_is "kelvane-cli: verify mismatch: the device's memory differs from the image at $address (expected 0x$expected, found 0x$found); 1 byte differs, within $address-$address"
    probe memory 0x4000 200000 memory.bin
    [ "$(cmp -l image.bin memory.bin | awk '{ print $1 - 1 }')" = "$offset" ] ||
        fail "the scanner's memory differs from the image elsewhere than at $offset: $(cmp -l image.bin memory.bin | head -n 5)"
    probe log
    echo "$probe_out" >exchanges.log
    [ "$(grep -c ' fault=4 ' exchanges.log)" -eq 1 ] ||
        fail "the driver did not keep exactly one block wrong (see exchanges.log)"
    grep -q ' cdb=C5070000000000.*020305000000 .* status=0 .* fault=4 ' exchanges.log ||
        fail "the spoiled block was not passed (see exchanges.log)"
    scanner_status_has ' faults=1 '

    cli_run version --device "$device" version
    cli_exited 0
    cli_stdout_last '1.23'
    cli_stderr_is
}

# A good update on the driver's removable drive.
case_cli_update_verify_ok() {
    start_scanner StillImage=0 Disk=auto
    read_disk_letters 1
    update_verifies "${disk_letters[0]}:" 200000
    scanner_status_has ' still-image-opens=0 '
}

case_cli_update_verify_mismatch() {
    start_scanner StillImage=0 Disk=auto
    read_disk_letters 1
    update_verify_mismatch "${disk_letters[0]}:"
}

# The same lie on the still-image device: a block of 64 KiB, the same address.
case_cli_update_verify_mismatch_still_image() {
    start_scanner
    update_verify_mismatch 'USBSCAN0'
    scanner_status_has ' disk-opens=0 '
}

# Two drives of two scanners, two updates of different images started at once: both verify, each
# scanner holds its own image, and each scanner's log holds the exchanges of one program only.
# (Kelvane's machine-wide command frame lock makes the second job wait for the first.)
case_cli_two_disks_apart() {
    start_scanner StillImage=0 Disk=auto,auto
    read_disk_letters 2
    local n size
    for n in 0 1; do
        mkdir "disk$n"
        size=$((300000 + n * 4096))
        head -c $size /dev/urandom >"disk$n/image.bin"
    done
    cli_start one --device "${disk_letters[0]}:" update 'disk0\image.bin'
    cli_start two --device "${disk_letters[1]}:" update 'disk1\image.bin'
    for n in 0 1; do
        cli_wait "$([ $n -eq 0 ] && echo one || echo two)"
        cli_exited 0
        size=$((300000 + n * 4096))
        grep -Fxq "Verify OK: the device's memory from 0x00004000 holds the image's $size bytes."$'\r' \
            "$cli_name.stdout" || fail "run $cli_name did not verify its image"
        probe --scanner $n memory 0x4000 $size "disk$n/memory.bin"
        cmp "disk$n/image.bin" "disk$n/memory.bin" ||
            fail "scanner $n does not hold the image sent to ${disk_letters[$n]}:"
        probe --scanner $n log
        echo "$probe_out" >"disk$n/exchanges.log"
        [ "$(sed -n 's/.* pid=\([0-9]*\) .*/\1/p' "disk$n/exchanges.log" | sort -u | wc -l)" -eq 1 ] ||
            fail "scanner $n logged exchanges of more than one program (see disk$n/exchanges.log)"
    done
}
