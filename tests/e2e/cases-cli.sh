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

# Two drives of two scanners, two SIZE-byte images (SIZE + 4096 for the second) in disk0/ and
# disk1/.
two_disk_images() {
    local n
    for n in 0 1; do
        mkdir "disk$n"
        head -c $((300000 + n * 4096)) /dev/urandom >"disk$n/image.bin"
    done
}

# Runs one and two (on scanners 0 and 1) ended: each with 0 and its verify line, each scanner
# holding its own image, and each scanner's log (kept in diskN/exchanges.log) holding the
# exchanges of one program only.
two_disk_updates_verified() {
    local n name size
    for n in 0 1; do
        name=$([ $n -eq 0 ] && echo one || echo two)
        cli_wait "$name"
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

# Two updates of different images started at once: both verify, each scanner holds its own
# image, and each scanner's log holds the exchanges of one program only.
case_cli_two_disks_apart() {
    start_scanner StillImage=0 Disk=auto,auto
    read_disk_letters 2
    two_disk_images
    cli_start one --device "${disk_letters[0]}:" update 'disk0\image.bin'
    cli_start two --device "${disk_letters[1]}:" update 'disk1\image.bin'
    two_disk_updates_verified
}

# The prefix's net.exe becomes net-standin.exe, which logs each service command with the
# driver's call counter into $net_log. Wine runs its own built-in net.exe before a file of that
# name, so the runs that are to meet the stand-in need WINEDLLOVERRIDES=$net_standin_override.
# The driver's own start and stop need the real one: plant after start_scanner; the real one is
# back before the stop (exit hooks run last first).
plant_net_standin() {
    local system="$KV_WINEPREFIX/drive_c/windows/system32"
    [ -n "${KV_NET_STANDIN:-}" ] || fail "KV_NET_STANDIN is not set (run through ctest)"
    [ -f "$system/net.exe" ] || fail "no net.exe in the prefix's system folder"
    # The system folder's files are links to the template's: move the link, never write into it.
    mv "$system/net.exe" "$system/net-system.exe" || fail "cannot set the system's net.exe aside"
    at_exit "mv -f '$system/net-system.exe' '$system/net.exe'"
    cp "$KV_NET_STANDIN" "$system/net.exe" || fail "cannot plant net-standin.exe"
    net_log=$system/net-standin.log
    net_standin_override=net.exe=n
    rm -f "$net_log"
}

# Waits until scanner N's status holds TEXT, while run NAME has not ended.
wait_scanner_status() {
    local n=$1 text=$2 name=$3 tries=0
    until probe --scanner "$n" status && [[ $probe_out == *"$text"* ]]; do
        [ ! -s "$name.status" ] ||
            fail "run $name ended before scanner $n showed '$text': $(cat "$name.stdout" "$name.stderr")"
        tries=$((tries + 1))
        [ $tries -lt 240 ] || fail "scanner $n never showed '$text': $probe_out"
        sleep 0.5
    done
}

# The ticks of the log LOG: "FIRST LAST BLOCK", the first exchange's start, the last one's end
# and the first firmware block's start (bytes 10..12 of the command 02 03 05).
log_ticks() {
    awk '{ for (i = 1; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
           if (first == "") first = f["start"]
           last = f["end"]
           if (block == "" && substr(f["cdb"], 21, 6) == "020305") block = f["start"] }
         END { print first + 0, last + 0, (block == "" ? -1 : block) }' "$1"
}

# Two updates on two drives of two scanners overlap in time, made certain by the driver: each
# scanner holds back its answer to its job's second firmware block, and both holds are released
# only once both are in place, so each job is inside its work while the other is. A machine-wide
# lock would keep the second job from its hold for as long as the first is held. Then: both
# verify with their own images; in the exchange logs (one clock for both scanners) each
# scanner's first firmware block comes before the other's last exchange; and the service was
# stopped once, before either job's first exchange, and started once, after both jobs' last exchange,
# with no start between (net-standin.exe's log, on the same clock).
case_cli_two_disks_overlap() {
    start_scanner StillImage=0 Disk=auto,auto
    read_disk_letters 2
    plant_net_standin
    two_disk_images
    local n
    for n in 0 1; do
        probe --scanner $n faults hold:020305:2
    done
    WINEDLLOVERRIDES=$net_standin_override cli_start one --device "${disk_letters[0]}:" update 'disk0\image.bin'
    WINEDLLOVERRIDES=$net_standin_override cli_start two --device "${disk_letters[1]}:" update 'disk1\image.bin'
    wait_scanner_status 0 ' held=1' one
    wait_scanner_status 1 ' held=1' two
    for n in 0 1; do
        probe --scanner $n release
        [ "$probe_out" = released=1 ] || fail "scanner $n released no held request: $probe_out"
    done
    two_disk_updates_verified

    local first0 last0 block0 first1 last1 block1
    read -r first0 last0 block0 < <(log_ticks disk0/exchanges.log)
    read -r first1 last1 block1 < <(log_ticks disk1/exchanges.log)
    echo "ticks: scanner 0 $first0-$last0 (first block $block0), scanner 1 $first1-$last1 (first block $block1)"
    [ "$block0" -ge 0 ] && [ "$block1" -ge 0 ] || fail "a scanner logged no firmware block"
    [ "$block0" -lt "$last1" ] && [ "$block1" -lt "$last0" ] ||
        fail "the jobs did not overlap: a scanner's first firmware block came after the other's last exchange"
    for n in 0 1; do
        grep -q ' cdb=.\{20\}020305.* fault=5 ' "disk$n/exchanges.log" ||
            fail "scanner $n did not hold a firmware block (see disk$n/exchanges.log)"
    done

    [ -f "$net_log" ] || fail "no service command ran"
    cp "$net_log" net-standin.log
    local commands ticks
    commands=$(sed 's/ tick=.*//' net-standin.log | tr '\n' '|')
    [ "$commands" = 'stop stisvc|start stisvc|' ] ||
        fail "expected one stop and one start around the pair: $(cat net-standin.log)"
    mapfile -t ticks < <(sed -n 's/.* tick=\([0-9]*\)$/\1/p' net-standin.log)
    [ ${#ticks[@]} -eq 2 ] || fail "a service command did not learn the driver's clock: $(cat net-standin.log)"
    [ "${ticks[0]}" -lt "$first0" ] && [ "${ticks[0]}" -lt "$first1" ] ||
        fail "the service was stopped after a job's first exchange: $(cat net-standin.log)"
    [ "${ticks[1]}" -ge "$last0" ] && [ "${ticks[1]}" -ge "$last1" ] ||
        fail "the service was started before both jobs' last exchange: $(cat net-standin.log)"
}
