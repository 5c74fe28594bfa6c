# Helpers of the console cases (sourced by run-case.sh): kelvane-cli.exe run as a console program
# under Wine in the case's prefix, against the devices the scanner driver presents there.
#
# Each run has a NAME and leaves, in the case's folder, NAME.stdout and NAME.stderr with the
# program's bytes exactly as it wrote them (the C runtime's text mode ends lines with CR LF),
# NAME.status with its exit status once it has ended, and NAME.time with its start and end in
# milliseconds of the Unix clock. Standard input is /dev/null and both outputs are files, so Wine
# hands the program those files as its standard handles and starts no console of its own: a
# console on a terminal would redraw the output with escape sequences and change the bytes. The
# exit status of the Windows process is wine's own (scripts/wine-run.sh passes it on).
#
#   cli_start NAME ARGS...   starts kelvane-cli.exe ARGS... in the background, bounded by
#                            KV_CLI_SECONDS (default 120); several may run at once
#   cli_wait NAME            waits for it; a run that ran out of its bound fails the case
#   cli_run NAME ARGS...     both in one
# After cli_wait (or cli_run), the checks below look at that run: cli_exited STATUS,
# cli_stdout_is LINE..., cli_stderr_is LINE..., cli_stdout_last LINE.

KV_CLI_SECONDS=${KV_CLI_SECONDS:-120}

declare -A cli_pids=()
cli_name=

# The statuses that timeout(1) gives a run it had to stop.
cli_ran_out() {
    [ "$1" -eq 124 ] || [ "$1" -eq 137 ]
}

cli_start() {
    local name=$1
    shift
    [ -n "${KV_KELVANE_CLI:-}" ] || fail "KV_KELVANE_CLI is not set (run through ctest)"
    [ -z "${cli_pids[$name]:-}" ] || fail "a run named $name was started already"
    [ -f kelvane-cli.exe ] || cp "$KV_KELVANE_CLI" . || fail "cannot copy kelvane-cli.exe"
    rm -f "$name.stdout" "$name.stderr" "$name.status" "$name.time"
    (
        started=$(date +%s%3N)
        status=0
        timeout --kill-after=10 "$KV_CLI_SECONDS" "$KV_WINE_RUN" kelvane-cli.exe "$@" \
            </dev/null >"$name.stdout" 2>"$name.stderr" || status=$?
        echo "$started $(date +%s%3N)" >"$name.time"
        echo "$status" >"$name.status"
    ) &
    cli_pids[$name]=$!
}

cli_wait() {
    local name=$1
    [ -n "${cli_pids[$name]:-}" ] || fail "no run named $name was started"
    wait "${cli_pids[$name]}"
    cli_name=$name
    out=$PWD/$name.stdout
    err=$PWD/$name.stderr
    [ -s "$name.status" ] || fail "kelvane-cli run $name left no status"
    cli_status=$(cat "$name.status")
    if cli_ran_out "$cli_status"; then fail "kelvane-cli run $name ran out of its $KV_CLI_SECONDS s"; fi
    return 0
}

cli_run() {
    cli_start "$@"
    cli_wait "$1"
}

cli_exited() {
    [ "$cli_status" -eq "$1" ] || fail "kelvane-cli run $cli_name exited with $cli_status, expected $1"
}

# The run's FILE (stdout or stderr) holds exactly these lines, each ended with CR LF.
cli_output_is() {
    local file=$cli_name.$1
    shift
    local want=
    [ $# -eq 0 ] || want=$(printf '%s\r\n' "$@" | od -An -tx1 -v)
    if [ "$(od -An -tx1 -v "$file")" != "$want" ]; then
        echo "--- expected in $file:"
        printf '%s\n' "$@"
        fail "$file does not hold exactly the lines above"
    fi
}

cli_stdout_is() {
    cli_output_is stdout "$@"
}

# Standard error without the progress lines that a run without a terminal writes there (a
# line per tenth of a phase, and "connecting"); they are checked apart, by cli_progress_shown.
cli_stderr_is() {
    grep -a -v -E '^kelvane-cli: (connecting|.* bytes\))'$'\r''?$' "$cli_name.stderr" \
        >"$cli_name.messages" || true
    cli_output_is messages "$@"
}

# The run's standard error shows PHASE reaching 100%.
cli_progress_shown() {
    grep -a -q -E "^kelvane-cli: $1 100% " "$cli_name.stderr" ||
        fail "$cli_name.stderr does not show $1 reaching 100%"
}

# The run's last line of standard output is LINE.
cli_stdout_last() {
    [ "$(tail -n 1 "$cli_name.stdout" | tr -d '\r')" = "$1" ] ||
        fail "the last line of $cli_name.stdout is not '$1'"
}

# The byte at OFFSET of FILE, as two upper-case hexadecimal digits.
byte_at() {
    od -An -tx1 -j "$2" -N 1 "$1" | tr -d ' \n' | tr a-f A-F
}
