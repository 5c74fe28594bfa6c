# Helpers of the end-to-end cases (sourced by run-case.sh). The environment comes from CTest:
# KV_KELVANE, KV_KELVANE_SIM, KV_OPERATOR, KV_PATTERN_CHECK, KV_MARKER (built programs),
# KV_WINE_RUN (scripts/wine-run.sh), KV_BUILD (the Windows build folder, which holds the template
# prefix), KV_WORK (folder for the cases' own folders).

# Bounds for one Wine program; the operator's own waits are shorter.
KV_RUN_SECONDS=${KV_RUN_SECONDS:-150}

# What the last operator run printed (stdout) and its Wine and debug output (stderr).
out=
err=

# Prints the reason, what the operator saw and the end of Wine's output, and fails the case.
fail() {
    echo "FAIL: $*"
    if [ -n "$out" ] && [ -f "$out" ]; then
        echo "--- operator output ($out)"
        cat "$out"
    fi
    if [ -n "$err" ] && [ -f "$err" ]; then
        echo "--- last lines of Wine's output ($err)"
        grep -v -e 'OutputDebugStringA' -e '^X connection' "$err" | tail -n 20
    fi
    exit 1
}

# A fresh, empty folder of the case's own, made the current folder: $here. The case's Wine
# prefix, KV_WINEPREFIX, is a fresh copy of the template in it, with a persistent server of its
# own (scripts/wine-lib.sh), so cases in other lanes never meet its programs or its server.
fresh_folder() {
    here="$KV_WORK/$1"
    rm -rf "$here"
    mkdir -p "$here"
    cd "$here" || exit 2
    export KV_WINEPREFIX="$here/wineprefix"
    local template
    template=$(kv_wine_template "$KV_BUILD") || fail "cannot boot the template Wine prefix"
    kv_wine_copy "$template" "$KV_WINEPREFIX" || fail "cannot copy the template Wine prefix"
    kv_wine_server_start "$KV_WINEPREFIX" || fail "cannot start the case's wineserver"
}

# Windows path of a file below the root (Wine maps drive Z: to /).
windows_path() {
    local path
    path=$(realpath -m "$1")
    echo "Z:${path//\//\\}"
}

# operate NAME PROGRAM [ARGS...] < SCRIPT: runs the operator on PROGRAM with the script from
# standard input; its output goes to NAME.out, Wine's and the debug output to NAME.err.
# Returns the operator's exit status.
operate() {
    local name=$1
    shift
    out="$PWD/$name.out"
    err="$PWD/$name.err"
    timeout --kill-after=10 "$KV_RUN_SECONDS" "$KV_WINE_RUN" "$KV_OPERATOR" -- "$@" \
        >"$out" 2>"$err"
}

# Operator script lines for the window's jobs, to put into a script with $(...):
#   script_click BUTTON STATUS N      a click on a command button, ending with the status STATUS
#                                     as the program's command frame N;
#   script_update STATUS N            update from image.bin picked in the dialog, ending with the
#                                     status STATUS as the program's command frame N;
#   script_read_back ADDRESS LENGTH STATUS N
#                                     a read-back with the two fields typed first. Edit1 holds
#                                     the focus when the window opens, so it is typed into second:
#                                     the operator then waits for its click to move the focus
#                                     there before it selects the old text.
script_click() {
    printf 'click %s\nwait-status %s 120000\nwait-frames %s 30000\n' "$1" "$2" "$3"
}
script_update() {
    printf 'click UpdateFW\ndialog image.bin\nwait-status %s 120000\nwait-frames %s 30000\n' \
        "$1" "$2"
}
script_read_back() {
    printf 'type Edit2 %s\ntype Edit1 %s\n' "$2" "$1"
    script_click 'Read Flash' "$3" "$4"
}

# Like operate, but the script must run to its end.
operate_ok() {
    operate "$@" || fail "the operator stopped (status $?)"
}

# The operator printed exactly this line.
saw() {
    grep -Fxq -- "$1" "$out" || fail "expected the line '$1'"
}

# The operator printed no line holding this text.
not_saw() {
    if grep -Fq -- "$1" "$out"; then fail "did not expect '$1'"; fi
}

# The operator saw no message or error box.
saw_no_box() {
    if grep -Eq '^(messagebox|errorbox):' "$out"; then fail "did not expect a box"; fi
}

# The debug output carries a line holding this text.
traced() {
    grep -Fq -- "$1" "$err" || fail "expected '$1' in the debug output"
}

not_traced() {
    if grep -Fq -- "$1" "$err"; then fail "did not expect '$1' in the debug output"; fi
}

# FILE holds exactly the bytes of the printf format.
file_holds() {
    local file=$1 format=$2
    [ -f "$file" ] || fail "no file $file"
    if ! cmp -s "$file" <(printf "$format"); then
        echo "--- $file:"
        od -c "$file" | head -n 20
        fail "$file does not hold exactly $(printf '%q' "$(printf "$format")")"
    fi
}

absent() {
    [ ! -e "$1" ] || fail "$1 should not exist"
}

# Commands to run when the case ends, however it ends (last registered, first run).
exit_hooks=()
at_exit() {
    exit_hooks=("$1" "${exit_hooks[@]}")
}

# Runs the exit hooks, then ends the Wine server of the case's prefix and whatever still runs in
# it, so that nothing of the case outlives it (nor the display it ran on).
finish_case() {
    local hook
    for hook in "${exit_hooks[@]}"; do
        eval "$hook" >/dev/null 2>&1
    done
    kv_wine_server_end "${KV_WINEPREFIX:-}" "$KV_WINE_LEFTOVERS"
    # And the prefixes the case made of its own, below its folder.
    [ -z "${here:-}" ] || bash "$KV_WINE_LEFTOVERS" --kill "$here" >/dev/null 2>&1
    return 0
}

# Runs PROGRAM under Wine directly (no window work), with a bound; returns its exit status.
run_wine() {
    timeout --kill-after=10 "$KV_RUN_SECONDS" "$KV_WINE_RUN" "$@"
}
