# kelvane.exe on the disk path: the scanner hosted as a Wine driver presents itself as a
# removable drive (the first free letter from K:) that answers IOCTL_SCSI_PASS_THROUGH_DIRECT
# from the same firmware model; the still-image device is off unless a case turns it on. The
# helpers start_scanner, probe, scanner_status_has, window_four_commands, services_kept_apart,
# two_programs_share_scanner and takeover_after_killed_holder come from cases-driver.sh,
# window_update and job_ended_with from cases-driver-lies.sh. The disk path writes no trace of
# its own, so the driver's exchange log shows what went over it.

# Starts the scanner as a removable drive only (more settings as NAME=VALUE); the letter it got
# is in $disk_letter.
start_disk_scanner() {
    start_scanner StillImage=0 Disk=auto "$@"
    disk_letter=$(sed -n 's/^disk-letter=//p' driver-start.log)
    [ -n "$disk_letter" ] || fail "the driver named no drive letter: $(cat driver-start.log)"
}

# The driver's exchange log, in exchanges.log and $probe_out.
save_exchange_log() {
    probe log
    echo "$probe_out" >exchanges.log
}

# Every exchange went over the disk path; the discovery's tag queries carry the 2-second time-out
# and every other record 15 seconds.
exchanges_all_on_disk() {
    save_exchange_log
    [ -s exchanges.log ] || fail "the driver logged no exchange"
    if grep -v ' path=disk ' exchanges.log | grep -q .; then
        fail "exchanges off the disk path (see exchanges.log)"
    fi
    local bad
    bad=$(awk '{ for (i = 1; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
                 code = substr(f["cdb"], 21, 4)
                 if (f["timeout"] != 15 && !(f["timeout"] == 2 && code == "FF02")) print }' \
        exchanges.log)
    [ -z "$bad" ] || fail "records with an unexpected time-out: $bad"
    grep -q ' cdb=C5070000000000000004FF0200000000 .* timeout=2 ' exchanges.log ||
        fail "no discovery tag query with the 2-second time-out"
}

# The window's four commands over the disk path.
case_product_on_disk_window() {
    start_disk_scanner
    window_four_commands
    # The disk path sends 4096-byte blocks unrounded: 73 whole ones and 992 bytes.
    scanner_status_has ' firmware-blocks=74 firmware-bytes=300000 finishing=1 '
    scanner_status_has ' still-image-opens=0 '
    scanner_status_has ' malformed-records=0 unreachable-buffers=0 '
    exchanges_all_on_disk
}

# CHECKFW finds the drive and writes the version.
case_product_on_disk_checkfw() {
    start_disk_scanner
    operate checkfw kelvane.exe CHECKFW <<<'wait-exit 120000'
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "exit: 0"
    file_holds result2.ini '[result]\r\nversion=1.23\r\n'
    scanner_status_has ' version-reads=1 '
    exchanges_all_on_disk
}

# An unattended update by path over the disk path lands intact.
case_product_on_disk_unattended_update() {
    start_disk_scanner
    head -c 100000 /dev/urandom >image.bin
    operate update kelvane.exe image.bin <<<'wait-exit 120000'
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "exit: 0"
    probe memory 0x4000 100000 memory.bin
    cmp image.bin memory.bin || fail "the scanner's memory differs from the image sent"
    scanner_status_has ' firmware-bytes=100000 finishing=1 '
    exchanges_all_on_disk
}

# The device refuses the second firmware block: the window shows the job's failure, and the
# driver's log shows the CHECK CONDITION with the sense data it returned (ILLEGAL REQUEST,
# INVALID FIELD IN CDB).
case_product_on_disk_refused_command() {
    start_disk_scanner
    probe faults refuse:020305:2
    window_update 20000 'Update FW fail.'
    job_ended_with 'Update FW fail.'
    save_exchange_log
    grep -E ' cdb=C5070000000000001000020305000000 .* status=2 .* fault=1 .* sense=700005000000000A00000000240000000000$' \
        exchanges.log || fail "no refused block with its sense in the driver's log (see exchanges.log)"
    scanner_status_has ' firmware-blocks=1 '
    scanner_status_has ' faults=1 '
}

# Two programs share the drive: an unattended update and a CHECKFW started while it runs. Both
# end with status 0, the image lands intact, and no exchange of one program falls inside the
# other's service.
case_product_on_disk_two_programs() {
    start_disk_scanner
    two_programs_share_scanner 1000000
    scanner_status_has ' locked=0 busy=0 '
    exchanges_all_on_disk
    # Finding and connecting to the drive sends tag queries before the program asks for the
    # service; each is one whole pass-through record, so they may fall inside the other
    # program's service without mixing anything. The services are judged without them.
    grep -v ' cdb=C5070000000000000004FF0200000000 ' exchanges.log >services.log
    services_kept_apart services.log
}

# A program killed while it holds the service over the disk path: the next program takes over
# the scanner's lock and reads the version.
case_product_on_disk_takeover() {
    start_disk_scanner
    takeover_after_killed_holder
    exchanges_all_on_disk
}

# Both presentations on: discovery takes the still-image device and never opens the drive,
# though the drive is there and answers (checked last, with the probe).
case_product_discovery_prefers_still_image() {
    start_scanner Disk=auto
    disk_letter=$(sed -n 's/^disk-letter=//p' driver-start.log)
    [ -n "$disk_letter" ] || fail "the driver named no drive letter: $(cat driver-start.log)"
    WINEDEBUG=+debugstr operate checkfw kelvane.exe CHECKFW <<<'wait-exit 120000'
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "exit: 0"
    file_holds result2.ini '[result]\r\nversion=1.23\r\n'
    traced 'USBSCAN='
    not_traced "sDrivePath=$disk_letter:"
    scanner_status_has ' disk-opens=0 '
    save_exchange_log
    if grep -q ' path=disk ' exchanges.log; then fail "exchanges on the disk path"; fi
    grep -q ' path=still-image ' exchanges.log || fail "no exchange on the still-image path"
    probe disk "$disk_letter"
    grep -Fxq 'drive-type=2' <<<"$probe_out" || fail "the drive is not removable: $probe_out"
}
