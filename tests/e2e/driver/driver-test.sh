#!/bin/bash
# One end-to-end case of the scanner driver under Wine, in a prefix of its own:
#
#   driver-test.sh CASE BUILD_DIR WORK_DIR
#
# starts the driver in WORK_DIR/prefix-CASE, runs CASE against it with the probe, and stops the
# driver and the prefix's wineserver however the case ends. Exits 0 when the case passes.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
. "$here/scanner-driver-lib.sh"

[ $# -eq 3 ] || kv_die "usage: driver-test.sh CASE BUILD_DIR WORK_DIR"
case_name=$1
build=$(realpath "$2")
prefix=$(realpath -m "$3/prefix-$case_name")
probe=$(kv_find_built "$build" scanner-probe.exe)
kv_wine_env "$prefix"
kv_lane_display

# Bounded from within (CTest allows a little more), so the clean-up runs when time runs out.
if [ -z "${KV_CASE_BOUNDED:-}" ]; then
    KV_CASE_BOUNDED=1 exec timeout --kill-after=60 "${KV_CASE_SECONDS:-300}" "$0" "$@"
fi
cleanup() { "$here/stop-scanner-driver.sh" "$prefix"; }
trap cleanup EXIT
# A fresh copy of the template each time, so no earlier run's state reaches the case.
rm -rf "$prefix"
trap 'echo "FAIL: the case ran out of time" >&2; exit 124' TERM INT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Runs the probe, echoes its output for the log and keeps it in $out; fails the case unless the
# probe exits with the status expected (0 unless given as "=N" first).
run_probe() {
    local want=0 rc=0
    if [[ $1 == =* ]]; then
        want=${1#=}
        shift
    fi
    echo "> scanner-probe $*"
    out=$(kv_wine 120 "$probe" "$@" 2>&1 | tr -d '\r') || rc=$?
    echo "$out"
    [ "$rc" -eq "$want" ] || fail "scanner-probe $* exited with $rc, expected $want"
}

expect() {
    grep -qE -- "$1" <<<"$out" || fail "expected /$1/ in the output above"
}

start_driver() {
    "$here/start-scanner-driver.sh" "$prefix" "$build" "$@"
}

case_descriptor() {
    start_driver
    run_probe descriptor
    expect '^bytes=8 vid=0x04F9 pid=0x2022 '
}

# One raw exchange of each kind: a tag query, a service command, and a refused command whose
# REQUEST SENSE returns its sense data.
case_bot() {
    start_driver
    run_probe tag
    expect '^tag=ZAMO ok=1$'
    run_probe service 4
    expect '^service=04 size=16 result=1 ok=1$'
    run_probe service 3
    expect '^service=03 size=16 result=0 ok=1$'
    run_probe refused
    expect '^refused status=1 sense-key=0x05 asc=0x24 ok=1$'
    run_probe status
    expect ' protocol-errors=0 '
}

# Two handles whose exchanges interleave phase by phase are kept apart, and the log shows that
# they really overlapped.
case_interleave() {
    start_driver
    run_probe interleave
    run_probe log
    local overlaps
    overlaps=$(awk '{ for (i = 1; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
                      n++; open[n] = f["open"]; s[n] = f["start"]; e[n] = f["end"]; o[n] = f["outcome"] }
                    END { c = 0
                          for (i = 1; i <= n; ++i) for (j = 1; j <= n; ++j)
                              if (open[i] != open[j] && s[j] > s[i] && s[j] < e[i]) c++
                          for (i = 1; i <= n; ++i) if (o[i] != 0) c = -1000
                          print c }' <<<"$out")
    [ "$overlaps" -gt 0 ] || fail "no overlapping exchanges of two handles completed ($overlaps)"
    run_probe status
    expect ' protocol-errors=0 '
}

# Two programs share the scanner through the service protocol: one updates the firmware while the
# other reads the version again and again. Each gets its answers, the image lands intact, and no
# exchange of one program falls inside the other's service (from its granted lock to its unlock).
case_two_programs() {
    local work
    work=$(dirname "$prefix")/work-$case_name
    rm -rf "$work"
    mkdir -p "$work"
    cd "$work"
    head -c 300000 /dev/urandom >image.bin
    start_driver
    kv_wine 300 "$probe" update image.bin >update.out 2>&1 &
    local updater=$!
    kv_wine 300 "$probe" getversion 25 >version.out 2>&1 &
    local reader=$!
    local rc_update=0 rc_version=0
    wait $updater || rc_update=$?
    wait $reader || rc_version=$?
    tr -d '\r' <update.out
    echo "(and $(grep -c . version.out) version lines)"
    [ $rc_update -eq 0 ] || fail "the update exited with $rc_update"
    [ $rc_version -eq 0 ] || fail "the version reader exited with $rc_version"
    grep -q 'update bytes=300000 blocks=5 ok=1' update.out || fail "the update did not complete"
    [ "$(tr -d '\r' <version.out | grep -c '^version=1.23 ok=1$')" -eq 25 ] ||
        fail "the reader did not get 25 versions"

    run_probe memory 0x4000 300000 readback.bin
    cmp image.bin readback.bin || fail "the image read back differs from the one sent"

    run_probe log >/dev/null
    tr -d '\r' <<<"$out" >log.txt
    local verdict
    verdict=$(awk '
        { for (i = 1; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
          cmd = substr(f["cdb"], 21, 4); result = substr(f["head"], 17, 8)
          n++; pid[n] = f["pid"]; s[n] = f["start"]; e[n] = f["end"]
          if (cmd == "FF05" && result != "00000000") { w++; wp[w] = f["pid"]; ws[w] = f["end"]; we[w] = -1; lastw[f["pid"]] = w }
          if (cmd == "FF06" && (f["pid"] in lastw) && we[lastw[f["pid"]]] < 0) we[lastw[f["pid"]]] = f["start"] }
        END {
          bad = 0; owners = 0
          for (k = 1; k <= w; ++k) {
              if (!(wp[k] in seen)) { seen[wp[k]] = 1; owners++ }
              for (i = 1; i <= n; ++i)
                  if (pid[i] != wp[k] && s[i] > ws[k] && (we[k] < 0 || s[i] < we[k])) bad++
          }
          printf "services=%d owners=%d intruders=%d\n", w, owners, bad
        }' log.txt)
    echo "$verdict"
    [[ $verdict =~ owners=2\ intruders=0$ ]] || fail "the services of the two programs were mixed"
    run_probe status
    expect ' protocol-errors=0 locked=0 busy=0 '
    expect ' firmware-bytes=300000 finishing=1 last-finishing=1 '
}

# The scanner's settings: another accepted vendor and version, then a vendor the tool refuses.
case_settings() {
    start_driver VendorId=0x0638 Version=abcd
    run_probe descriptor
    expect ' vid=0x0638 '
    run_probe getversion
    expect '^version=abcd ok=1$'
    run_probe set VendorId=0x1234
    run_probe =2 getversion
    expect '^no device'
    run_probe =2 set VendorId=0x10000
    expect "^bad setting 'VendorId=0x10000'"
}

# The seam's contract suite with a scanner behind it: the Win32 backend meets the driver through
# the still-image device and the removable drive, beside the simulated backend with its own
# scanner; every test of both must run (none skipped) and pass.
case_contract() {
    local started letter
    started=$(start_driver Disk=auto)
    echo "$started"
    letter=$(sed -n 's/^disk-letter=//p' <<<"$started")
    [ -n "$letter" ] || fail "the driver named no drive letter"
    local contract
    contract=$(kv_find_built "$build" contract_tests.exe)
    echo "> contract_tests --gtest_filter='ScannerContract*' (drive $letter:)"
    out=$(KV_CONTRACT_DRIVE=$letter kv_wine 120 "$contract" --gtest_filter='ScannerContract*' 2>&1 |
        tr -d '\r') || { echo "$out"; fail "the contract suite failed"; }
    echo "$out"
    expect '^\[  PASSED  \] 4 tests\.$'
    if grep -q 'SKIPPED' <<<"$out"; then fail "a contract test was skipped"; fi
}

declare -F "case_$case_name" >/dev/null || kv_die "unknown case '$case_name'"
"case_$case_name"
echo "PASS: $case_name"
