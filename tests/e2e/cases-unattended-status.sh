# What the unattended modes tell their caller: each ends by itself, with no window left and no
# box, with the exit status of its outcome (0 job done, 2 no device, 3 image unusable,
# 6 result2.ini unwritable) and the outcome's text on standard output. Two unattended updates
# started together take turns for the scanner.

# The program ended by itself with this status, showing no box.
ended_with() {
    saw "exit: $1"
    saw_no_box
    not_saw "killed:"
}

# kelvane.exe with an image but no scanner: status 2, "No Device is Existing." on stdout.
case_unattended_status_no_device() {
    head -c 1000 /dev/urandom >image.bin
    operate update kelvane.exe image.bin <<<'wait-exit 60000'
    [ $? -eq 0 ] || fail "the operator stopped"
    ended_with 2
    saw "stdout: No Device is Existing."
}

# CHECKFW whose result2.ini cannot be written (a folder of that name): no box waits for a
# person; the program starts the service again and ends by itself with status 6, naming the
# file on stdout.
case_unattended_status_checkfw_unwritable() {
    mkdir result2.ini
    operate unwritable kelvane.exe CHECKFW <<<'wait-exit 60000'
    [ $? -eq 0 ] || fail "the operator stopped"
    ended_with 6
    saw "stdout: Unable to write to $(windows_path "$here/result2.ini")."
    saw "children: 4 started, 4 ended"
}

# With the scanner there, an image that cannot be opened (its path names a folder): status 3.
# The device is found first; no block is sent.
case_unattended_status_image_unopenable() {
    start_scanner
    mkdir image.bin
    operate update kelvane.exe image.bin <<<'wait-exit 120000'
    [ $? -eq 0 ] || fail "the operator stopped"
    ended_with 3
    saw "stdout: Connect to Device Success!"
    saw "stdout: Open file fail."
    scanner_status_has ' firmware-blocks=0 '
}

# A good update: status 0 only after "Update FW Ok.", with the image in the scanner's memory.
case_unattended_status_good_update() {
    start_scanner
    head -c 200000 /dev/urandom >image.bin
    operate update kelvane.exe image.bin <<<'wait-exit 120000'
    [ $? -eq 0 ] || fail "the operator stopped"
    ended_with 0
    saw "stdout: Update FW Ok."
    probe memory 0x4000 200000 memory.bin
    cmp image.bin memory.bin || fail "the scanner's memory differs from the image sent"
}

# A scanner that refuses the second block (sense data, CHECK CONDITION): the update ends by itself
# with status 4 and "Update FW fail." on stdout.
case_unattended_status_block_refused() {
    start_scanner
    probe faults refuse:020305:2
    head -c 200000 /dev/urandom >image.bin
    operate update kelvane.exe image.bin <<<'wait-exit 120000'
    [ $? -eq 0 ] || fail "the operator stopped"
    ended_with 4
    saw "stdout: Update FW fail."
    scanner_status_has ' faults=1 '
}

# From the exchange log: for each program, its address sets (02 03 selector 4) and the data
# set (02 03 selector 5) that follows each. Prints "pairs=N intruded=N interleaved=N
# last=PID blocks-of-last=N", where intruded counts pairs with an address or data set of
# another program between the two halves, and interleaved counts exchanges of one program that
# fall between the first and last exchange of the other.
pair_verdict() {
    awk '
        { for (i = 1; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
          n++; pid[n] = f["pid"]; code[n] = substr(f["cdb"], 21, 6)
          if (!(f["pid"] in first)) first[f["pid"]] = n
          last[f["pid"]] = n
          if (code[n] == "020305") blocks[f["pid"]]++
        }
        END {
          for (i = 1; i <= n; ++i) {
              if (code[i] != "020304") continue
              j = i + 1
              while (j <= n && !(pid[j] == pid[i] && code[j] == "020305")) j++
              if (j > n) continue
              pairs++
              for (k = i + 1; k < j; ++k)
                  if (pid[k] != pid[i] && (code[k] == "020304" || code[k] == "020305")) {
                      intruded++; break
                  }
          }
          for (p in first) {
              if (last[p] > lastEnd) { lastEnd = last[p]; lastPid = p }
              for (i = first[p]; i <= last[p]; ++i) if (pid[i] != p) interleaved++
          }
          printf "pairs=%d intruded=%d interleaved=%d last=%s blocks-of-last=%d\n",
                 pairs, intruded, interleaved, lastPid, blocks[lastPid]
        }' "$1"
}

# Two unattended updates of different images started together: the second waits for the
# first's command frame, so both end with status 0, no address of one is followed by the
# other's data, and the scanner's memory holds, whole, the image of the one that ended last.
# The images differ in length (16 and 17 blocks), which tells from the log whose job was last.
case_unattended_status_two_updates() {
    start_scanner
    mkdir one two
    cp kelvane.exe one/
    mv kelvane.exe two/
    head -c 1048576 /dev/urandom >one/image.bin
    head -c 1114112 /dev/urandom >two/image.bin
    probe clear-log
    (cd one && operate update kelvane.exe image.bin <<<'wait-exit 240000') &
    local first=$!
    (cd two && operate update kelvane.exe image.bin <<<'wait-exit 240000') &
    local second=$!
    wait $first
    local first_status=$?
    wait $second
    local second_status=$?
    local job
    for job in one two; do
        out=$here/$job/update.out err=$here/$job/update.err
        [ "$job" = one ] && [ $first_status -ne 0 ] && fail "the operator of $job stopped"
        [ "$job" = two ] && [ $second_status -ne 0 ] && fail "the operator of $job stopped"
        ended_with 0
        saw "stdout: Update FW Ok."
    done
    out=
    probe log
    echo "$probe_out" >exchanges.log
    local verdict
    verdict=$(pair_verdict exchanges.log)
    echo "$verdict"
    [[ $verdict =~ ^pairs=33\ intruded=0\ interleaved=0\ last=[0-9]+\ blocks-of-last=(16|17)$ ]] ||
        fail "the two jobs' exchanges: $verdict (see exchanges.log)"
    local last_job=one size=1048576
    if [ "${BASH_REMATCH[1]}" = 17 ]; then last_job=two size=1114112; fi
    probe memory 0x4000 "$size" memory.bin
    cmp "$last_job/image.bin" memory.bin ||
        fail "the scanner's memory is not the image of the job that ended last ($last_job)"
    scanner_status_has ' protocol-errors=0 locked=0 busy=0 '
}
