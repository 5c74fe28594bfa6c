# kelvane.exe, the product with its real device I/O, against the simulated scanner hosted as a
# kernel driver under Wine ("\\.\USBSCAN0"), in a Wine prefix of the case's own. The driver's
# probe (KV_PROBE) reads the scanner's memory, counters and exchange log from the driver side.

# Starts the driver in the case's own prefix (settings as NAME=VALUE), and stops it again however
# the case ends.
start_scanner() {
    at_exit '"$KV_DRIVER_SCRIPTS/stop-scanner-driver.sh" "$KV_WINEPREFIX"'
    "$KV_DRIVER_SCRIPTS/start-scanner-driver.sh" "$KV_WINEPREFIX" "$KV_BUILD" "$@" \
        >driver-start.log 2>&1 || fail "the scanner driver did not start: $(cat driver-start.log)"
}

# Runs the probe; its output (carriage returns dropped) is in $probe_out.
probe() {
    probe_out=$(run_wine "$KV_PROBE" "$@" 2>/dev/null | tr -d '\r') ||
        fail "scanner-probe $* failed: $probe_out"
}

# The driver's counters hold this text.
scanner_status_has() {
    probe status
    grep -Fq -- "$1" <<<"$probe_out" || fail "expected '$1' in the driver's status: $probe_out"
}

# The window's four commands against the scanner started before: an update from a picked file,
# a read-back of the same range, the version box and the calibration. Checks what either path
# must show: the version box, flash.bin and the scanner's memory equal to the image, one
# calibration and one version read.
window_four_commands() {
    head -c 300000 /dev/urandom >image.bin
    operate window kelvane.exe <<SCRIPT
$(script_update 'Update FW Ok.' 1)
$(script_read_back 0x4000 300000 'Upload OK!' 2)
click Get Version
read-messagebox 60000
close-messagebox
wait-frames 3 30000
wait-scroll 2 30000
click DoCalibration
wait-status Set Calibration Success 60000
wait-frames 4 30000
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw 'messagebox: Kelvane|The Verision:1.23\r\n'
    saw "exit: 0"
    cmp image.bin flash.bin || fail "flash.bin differs from the image sent"
    probe memory 0x4000 300000 memory.bin
    cmp image.bin memory.bin || fail "the scanner's memory differs from the image sent"
    scanner_status_has ' calibrations=1 version-reads=1 '
}

# The whole window against the driver; the memory that the driver holds is the image.
case_product_on_driver_window() {
    start_scanner
    window_four_commands
    [ "$(grep -c '^stdout: Connect to Device Success!$' "$out")" -eq 3 ] ||
        fail "expected a connection line from the update, the version and the calibration"
    file_holds result2.ini '[result]\r\nversion=1.23\r\n'
    # 300000 bytes go as four blocks of 65536 and a last one rounded up to 40960.
    scanner_status_has ' protocol-errors=0 locked=0 busy=0 '
    scanner_status_has ' firmware-blocks=5 firmware-bytes=303104 finishing=1 '
}

# Service windows from the exchange log: for each lock granted (FF 05 answered nonzero) up to the
# same program's unlock (FF 06), the exchanges of other programs that start inside it. Prints
# "services=N owners=N intruders=N overlapped=N", where overlapped counts services that began
# while another program was between its first and last exchange.
service_verdict() {
    awk '
        { for (i = 1; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
          n++; pid[n] = f["pid"]; s[n] = f["start"] + 0
          if (!(f["pid"] in first)) first[f["pid"]] = s[n]
          last[f["pid"]] = s[n]
          code = substr(f["cdb"], 21, 4); answer = substr(f["head"], 17, 8)
          if (code == "FF05" && answer != "00000000") {
              w++; owner[w] = f["pid"]; from[w] = f["end"] + 0; to[w] = -1; open[f["pid"]] = w
          }
          if (code == "FF06" && (f["pid"] in open) && to[open[f["pid"]]] < 0)
              to[open[f["pid"]]] = s[n]
        }
        END {
          for (k = 1; k <= w; ++k) {
              if (!(owner[k] in seen)) { seen[owner[k]] = 1; owners++ }
              for (i = 1; i <= n; ++i)
                  if (pid[i] != owner[k] && s[i] > from[k] && (to[k] < 0 || s[i] < to[k]))
                      intruders++
              for (p in first)
                  if (p != owner[k] && first[p] < from[k] && from[k] < last[p]) { overlapped++; break }
          }
          printf "services=%d owners=%d intruders=%d overlapped=%d\n", w, owners, intruders, overlapped
        }' "$1"
}

# Two programs on the scanner already started: an unattended update of a SIZE-byte image and a
# CHECKFW started once its first blocks have gone. Both end with status 0, the check waited for
# the update's command frame and wrote the version, and the image lands intact.
two_programs_share_scanner() {
    local size=$1
    mkdir updater checker
    cp kelvane.exe updater/
    mv kelvane.exe checker/
    head -c "$size" /dev/urandom >updater/image.bin
    (cd updater && operate update kelvane.exe image.bin <<<'wait-exit 240000') &
    local updater=$!
    # The check starts once the first blocks have gone.
    local tries=0
    until probe status && [[ $probe_out =~ firmware-blocks=([0-9]+) ]] &&
        [ "${BASH_REMATCH[1]}" -ge 2 ]; do
        tries=$((tries + 1))
        [ $tries -lt 120 ] || fail "the update does not begin: $probe_out"
        sleep 0.5
    done
    (cd checker && operate checkfw kelvane.exe CHECKFW <<<'wait-exit 240000')
    local checker_status=$?
    wait $updater
    local updater_status=$?
    out=$here/updater/update.out err=$here/updater/update.err
    [ $updater_status -eq 0 ] || fail "the update's operator stopped"
    saw "exit: 0"
    out=$here/checker/checkfw.out err=$here/checker/checkfw.err
    [ $checker_status -eq 0 ] || fail "the check's operator stopped"
    saw "exit: 0"
    # Kelvane's own programs take turns for whole command frames.
    saw "stdout: Waiting for another Kelvane program to end its command."
    out=
    file_holds checker/result2.ini '[result]\r\nversion=1.23\r\n'
    probe memory 0x4000 "$size" memory.bin
    cmp updater/image.bin memory.bin || fail "the scanner's memory differs from the image sent"
}

# Two programs share the scanner: an unattended update and a CHECKFW started while the update
# runs. The CHECKFW waits for the update's command frame; both end with status 0, the version is
# right, the image lands intact, and no exchange of one program falls inside the other's service.
case_product_on_driver_two_programs() {
    start_scanner
    two_programs_share_scanner 4000000
    scanner_status_has ' protocol-errors=0 locked=0 busy=0 '
    probe log
    echo "$probe_out" >exchanges.log
    services_kept_apart exchanges.log
}

# The services in the exchange log LOG were those of two programs, and neither let the other in.
services_kept_apart() {
    local verdict
    verdict=$(service_verdict "$1")
    echo "$verdict"
    [[ $verdict =~ owners=2\ intruders=0\ overlapped=0 ]] ||
        fail "the services of the two programs: $verdict (see $1)"
}

# A program killed while it holds the service of the scanner started before (the scanner never
# reports its work finished, so the update waits inside its first exchange): the next program
# takes over the scanner's lock and reads the version.
takeover_after_killed_holder() {
    # Set at run time, so the next start of the driver does not inherit it.
    probe set NeverFinishes=1
    mkdir holder
    cp kelvane.exe holder/
    head -c 100000 /dev/urandom >holder/image.bin
    (cd holder && operate hold kelvane.exe image.bin <<'SCRIPT'
wait-file go 120000
kill
SCRIPT
    )&
    local holder=$!
    local tries=0
    until probe status && grep -Fq ' locked=1 ' <<<"$probe_out"; do
        tries=$((tries + 1))
        [ $tries -lt 120 ] || fail "the first program never took the lock: $probe_out"
        sleep 0.5
    done
    touch holder/go
    wait $holder || { out=$here/holder/hold.out; fail "the first program was not killed"; }
    out=$here/holder/hold.out
    saw "killed: 255"
    scanner_status_has ' locked=1 '
    probe set NeverFinishes=0

    WINEDEBUG=+debugstr operate checkfw kelvane.exe CHECKFW <<<'wait-exit 120000'
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "exit: 0"
    traced '[MsdcZamoHost] xServiceOpen: Maybe some AP is broken, Terminate last service.'
    file_holds result2.ini '[result]\r\nversion=1.23\r\n'
    scanner_status_has ' locked=0 '
}

# The same on the still-image path.
case_product_on_driver_takeover() {
    start_scanner
    takeover_after_killed_holder
}
