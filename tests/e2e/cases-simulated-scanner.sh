# kelvane-sim.exe: the product's window and logic with the simulated scanner built in (still-image
# device 0, version "1.23", memory that reads as a known pattern until written).

# A firmware update from a file picked in the dialog ends with "Update FW Ok." (a name that
# names no file gives "Open file fail."); reading the same range back into flash.bin gives the
# image again. The debug output carries the exchanges'
# trace lines: the device found, the Bulk-Only Transport set-up of each command with its tag.
case_sim_update_and_read_back() {
    # Not a multiple of 4096, so the last block is rounded up on the way to the device.
    head -c 100001 /dev/urandom >image.bin
    WINEDEBUG=+debugstr operate update kelvane-sim.exe <<SCRIPT
click UpdateFW
dialog missing.bin
wait-status Open file fail. 60000
wait-frames 1 30000
$(script_update 'Update FW Ok.' 2)
$(script_read_back 0x4000 100001 'Upload OK!' 3)
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "stdout: Connect to Device Success!"
    cmp image.bin flash.bin || fail "flash.bin differs from the image sent"
    traced 'USBSCAN=\\\\.\\USBSCAN0'
    traced '[ConnectToScanner]vid=0x04F9, pid=0x2022'
    traced '[BOTSetup]tag=01 00 00 00'
    traced '[BOTSetup]dataLength=00 00 01 00'
    # The rounded last block: 100001 - 65536 = 34465 bytes go as 36864 (0x9000).
    traced '[BOTSetup]dataLength=00 90 00 00'
    saw "exit: 0"
}

# "Read Flash" with the fields as they start (address 0, 2097152 bytes) writes flash.bin in the
# current folder holding the scanner's memory as it was never written.
case_sim_read_flash() {
    operate flash kelvane-sim.exe <<'SCRIPT'
read-edit Edit1
read-edit Edit2
click Read Flash
wait-status Upload OK! 120000
wait-frames 1 30000
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "edit: Edit1|0"
    saw "edit: Edit2|2097152"
    run_wine "$KV_PATTERN_CHECK" flash.bin 0 2097152 >pattern.out 2>&1 ||
        fail "$(tr -d '\r' <pattern.out)"
}

# "Get Version" shows the version in a message box, writes it into result2.ini beside the
# program (not in the current folder), and moves the scroll bar to 2.
case_sim_get_version() {
    mkdir app
    cp "$KV_KELVANE_SIM" app/
    operate version 'app\kelvane-sim.exe' <<'SCRIPT'
click Get Version
read-messagebox 60000
close-messagebox
wait-scroll 2 30000
wait-frames 1 30000
read-status
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw 'messagebox: Kelvane|The Verision:1.23\r\n'
    saw "stdout: Connect to Device Success!"
    # The version query leaves the status bar alone.
    saw "status: "
    file_holds app/result2.ini '[result]\r\nversion=1.23\r\n'
    absent result2.ini
    saw "exit: 0"
}

# "DoCalibration" reports "Set Calibration Success".
case_sim_calibration() {
    operate calibration kelvane-sim.exe <<'SCRIPT'
click DoCalibration
wait-status Set Calibration Success 60000
wait-frames 1 30000
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "stdout: Connect to Device Success!"
    saw "exit: 0"
}

# A result file that cannot be written ("result2.ini" is a folder): "Get Version" shows the error
# box naming the file instead of the version, and the window stays for the next command.
case_sim_get_version_unwritable_result() {
    mkdir result2.ini
    operate unwritable kelvane-sim.exe <<'SCRIPT'
click Get Version
read-messagebox 60000
close-messagebox
wait-frames 1 30000
read-scroll
click DoCalibration
wait-status Set Calibration Success 60000
wait-frames 2 30000
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "errorbox: Kelvane|Unable to write to $(windows_path "$here/result2.ini")."
    not_saw "The Verision:"
    # An error passed on by the command frame leaves the scroll bar where it was.
    saw "scroll: 0"
    saw "exit: 0"
}
