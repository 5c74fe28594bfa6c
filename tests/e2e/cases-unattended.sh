# The unattended modes: "CHECKFW" reads the version into result2.ini beside the program; any
# other first argument is a firmware image path. The program ends by itself with status 0.

# kelvane.exe CHECKFW without a scanner, started from another folder: the result file appears
# beside the program holding exactly the empty version, nothing appears in the current folder,
# no box is shown and the service is stopped and started.
case_checkfw_no_device_fresh_folder() {
    mkdir elsewhere
    cd elsewhere || fail "no folder"
    operate checkfw '..\kelvane.exe' CHECKFW <<'SCRIPT'
wait-exit 60000
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "exit: 0"
    saw_no_box
    # One command frame: the service stopped and started.
    saw "children: 4 started, 4 ended"
    file_holds ../result2.ini '[result]\r\nversion=\r\n'
    absent result2.ini
}

# An existing result file keeps its other sections and keys; only the old version is emptied.
case_checkfw_keeps_other_entries() {
    printf '[other]\r\nkey=value\r\n[result]\r\nversion=9.99\r\nextra=1\r\n' >result2.ini
    operate checkfw kelvane.exe CHECKFW <<'SCRIPT'
wait-exit 60000
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "exit: 0"
    file_holds result2.ini '[other]\r\nkey=value\r\n[result]\r\nversion=\r\nextra=1\r\n'
}

# kelvane-sim.exe CHECKFW writes the simulated scanner's version, shows no box, and ignores
# further arguments.
case_checkfw_simulated_scanner() {
    printf '[result]\r\nversion=old\r\n' >result2.ini
    operate checkfw kelvane-sim.exe CHECKFW more arguments <<'SCRIPT'
wait-exit 60000
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "exit: 0"
    saw "stdout: Connect to Device Success!"
    saw_no_box
    file_holds result2.ini '[result]\r\nversion=1.23\r\n'
}

# An image path updates the scanner unattended: a 100-byte image goes as one 4096-byte block
# (0x1000 in the transport's set-up). The result file is not touched.
case_unattended_update() {
    head -c 100 /dev/urandom >image.bin
    WINEDEBUG=+debugstr operate update kelvane-sim.exe image.bin <<'SCRIPT'
wait-exit 60000
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "exit: 0"
    saw "stdout: Connect to Device Success!"
    traced '[BOTSetup]dataLength=00 10 00 00'
    absent result2.ini
}

# A path with a blank reaches the update whole only in double quotes; unquoted, its first word
# names no file, so no block is sent.
case_unattended_update_path_with_blank() {
    head -c 100 /dev/urandom >"my image.bin"
    WINEDEBUG=+debugstr operate quoted kelvane-sim.exe "my image.bin" <<'SCRIPT'
wait-exit 60000
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "exit: 0"
    traced '[BOTSetup]dataLength=00 10 00 00'
    # Unquoted, the first word alone is the path: no such image (status 3), nothing sent.
    WINEDEBUG=+debugstr operate unquoted kelvane-sim.exe my image.bin <<'SCRIPT'
wait-exit 60000
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "stdout: Open file fail."
    saw "exit: 3"
    not_traced '[BOTSetup]dataLength=00 10 00 00'
}

# Arguments that are no image: "checkfw" in small letters (a path, not the check mode) and a
# missing file, with and without a scanner. Each ends by itself with the status of its reason
# (2 without a scanner, which is looked for first; 3 with one), sends no block and leaves no
# result file.
case_unattended_not_an_image() {
    local program argument name status
    for program in kelvane.exe kelvane-sim.exe; do
        status=2
        [ "$program" = kelvane-sim.exe ] && status=3
        for argument in checkfw missing.bin; do
            name="${program%.exe}-$argument"
            WINEDEBUG=+debugstr operate "$name" "$program" "$argument" <<'SCRIPT'
wait-exit 60000
SCRIPT
            [ $? -eq 0 ] || fail "the operator stopped"
            saw "exit: $status"
            not_traced '[BOTSetup]dataLength=00 10 00 00'
            absent result2.ini
        done
    done
}

# The result file cannot be written ("result2.ini" is a folder; the tests run as a user whom a
# read-only folder does not stop): CHECKFW names the file on standard output after the service has
# been started again and ends by itself with status 6. Ending by itself is the proof that no box
# waited for a person.
case_checkfw_unwritable_result() {
    mkdir result2.ini
    operate unwritable kelvane.exe CHECKFW <<'SCRIPT'
wait-exit 60000
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "stdout: Unable to write to $(windows_path "$here/result2.ini")."
    saw "children: 4 started, 4 ended"
    saw "exit: 6"
}
