# kelvane.exe, the product, with no scanner attached, worked through its window.

# The window as laid out at 96 DPI: caption, client size and place, every control in creation
# (tab) order with its class, text, place and size, the two status panels and the scroll bar.
case_window_layout() {
    operate layout kelvane.exe <<'SCRIPT'
read-layout
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    # The label widens to its text when the substitute font is wider than the original one.
    local label width
    label=$(grep '^control: Static|Address|' "$out") || fail "no label"
    width=$(sed -n 's/^control: Static|Address|8,72,\([0-9]*\),13$/\1/p' <<<"$label")
    [ -n "$width" ] && [ "$width" -ge 38 ] && [ "$width" -le 60 ] || fail "label at $label"
    local expected
    expected=$(
        cat <<'LAYOUT'
window: Kelvane 2022.6.9|client 464x229|at 296,289
frame: fixed
control: Edit|0|8,104,121,21
control: Button|Ok|384,8,75,25
control: Button|Cancel|384,40,75,25
control: Edit|2097152|136,104,121,21
control: Button|UpdateFW|272,16,75,25
control: Button|Read Flash|272,112,75,25
control: ScrollBar||136,72,121,17
control: Button|DoCalibration|272,48,75,25
control: Button|Get Version|272,80,75,25
control: Static|Address|8,72,LABEL,13
control: TCGauge||8,160,337,33|hidden
control: msctls_statusbar32||0,200,464,29
panels: 300'',50''
scrollbar: range 0..5|position 0
LAYOUT
    )
    local seen
    seen=$(sed -n '/^> read-layout$/,/^> close$/p' "$out" | grep -v '^>' |
        sed "s/^control: Static|Address|8,72,$width,13$/control: Static|Address|8,72,LABEL,13/")
    if [ "$seen" != "$expected" ]; then
        diff <(echo "$expected") <(echo "$seen")
        fail "the layout differs (expected < > seen)"
    fi
    saw "exit: 0"
}

# Every device command finds no scanner: the firmware update (after a file is picked in the
# dialog, which opens in the program's folder), the calibration and the version query say
# "No Device is Existing.", the flash read-back says it without the full stop and creates no
# flash.bin. Alternating the two texts makes each wait see its own command's outcome.
case_no_device_commands() {
    mkdir app
    cp "$KV_KELVANE" app/
    head -c 5000 /dev/zero >app/image.bin
    WINEDEBUG=+debugstr operate commands 'app\kelvane.exe' <<SCRIPT
$(script_click 'Read Flash' 'No Device is Existing' 1)
$(script_update 'No Device is Existing.' 2)
$(script_click 'Read Flash' 'No Device is Existing' 3)
$(script_click DoCalibration 'No Device is Existing.' 4)
$(script_click 'Read Flash' 'No Device is Existing' 5)
$(script_click 'Get Version' 'No Device is Existing.' 6)
no-messagebox
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "dialog: opened image.bin"
    # Each command stopped and started the service: six frames and nothing else.
    saw "children: 24 started, 24 ended"
    saw "no-messagebox: none"
    not_saw "stdout: Connect to Device Success!"
    traced "sDrivePath="
    absent flash.bin
    absent app/flash.bin
    absent result2.ini
    absent app/result2.ini
    saw "exit: 0"
}

# "Cancel" in the file dialog runs nothing: no service command, no device search, no status.
case_file_dialog_cancel() {
    WINEDEBUG=+debugstr operate cancel kelvane.exe <<'SCRIPT'
click UpdateFW
dialog cancel
read-status
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "dialog: cancelled"
    saw "status: "
    # Counted over the program's whole life, so no service command can have come late.
    saw "children: 0 started, 0 ended"
    not_traced "sDrivePath="
    saw "exit: 0"
}

# The scroll bar's arrows step Edit2 through the six sizes and stop at both ends; at the start
# Edit2 shows 2097152 while the bar stands at 0, and a click that cannot move it changes nothing.
case_scroll_sizes() {
    local sizes=(524288 1048576 2097152 4194304 8388608 16777216)
    operate scroll kelvane.exe < <(
        echo "read-scroll"
        echo "scroll left"
        echo "read-edit Edit2"
        for position in 1 2 3 4 5; do
            echo "scroll right"
            echo "read-edit Edit2"
        done
        echo "scroll right"
        echo "read-edit Edit2"
        echo "scroll left 5"
        echo "read-edit Edit2"
        echo "close"
        echo "wait-exit"
    ) || fail "the operator stopped"
    local expected
    expected=$(
        echo "scroll: 0"
        echo "scroll: 0"
        echo "edit: Edit2|2097152"
        for position in 1 2 3 4 5; do
            echo "scroll: $position"
            echo "edit: Edit2|${sizes[$position]}"
        done
        echo "scroll: 5"
        echo "edit: Edit2|16777216"
        echo "scroll: 0"
        echo "edit: Edit2|524288"
        echo "exit: 0"
    )
    local seen
    seen=$(grep -E '^(scroll|edit|exit):' "$out")
    if [ "$seen" != "$expected" ]; then
        diff <(echo "$expected") <(echo "$seen")
        fail "the sizes differ (expected < > seen)"
    fi
}

# "Get Version" moves the scroll bar to position 2, which puts 2097152 into Edit2; when the bar
# already stands at 2, a number typed into Edit2 stays.
case_get_version_moves_scroll_bar() {
    operate version kelvane.exe <<SCRIPT
scroll right 4
read-edit Edit2
$(script_click 'Get Version' 'No Device is Existing.' 1)
wait-scroll 2 30000
wait-edit Edit2 2097152
type Edit2 12345
$(script_click 'Read Flash' 'No Device is Existing' 2)
$(script_click 'Get Version' 'No Device is Existing.' 3)
read-scroll
read-edit Edit2
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "edit: Edit2|8388608"
    saw "edit: Edit2|2097152"
    [ "$(grep -E '^(scroll|edit):' "$out" | tail -n 2 | tr '\n' ' ')" = \
        "scroll: 2 edit: Edit2|12345 " ] || fail "Edit2 should keep 12345 with the bar at 2"
    absent flash.bin
}

# A field that holds no number: the error box names it, nothing is read, and the window stays
# usable for the next command.
case_not_a_number() {
    operate number kelvane.exe <<'SCRIPT'
type Edit1 abc
click Read Flash
read-messagebox 30000
close-messagebox
wait-frames 1 30000
read-status
type Edit1 0
type Edit2 4000 
click Read Flash
read-messagebox 30000
close-messagebox
wait-frames 2 30000
type Edit2 0x100
click Read Flash
wait-status No Device is Existing 30000
wait-frames 3 30000
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "errorbox: Kelvane|'abc' is not a valid integer value."
    saw "errorbox: Kelvane|'4000 ' is not a valid integer value."
    # The error came before any device work.
    saw "status: "
    absent flash.bin
    saw "exit: 0"
}

# "Ok", "Cancel" and the window's close box end the program at once with status 0.
case_ok_cancel_close_end_the_program() {
    local how
    for how in "click Ok" "click Cancel" "close"; do
        operate "end-${how// /-}" kelvane.exe < <(printf 'wait-window\n%s\nwait-exit\n' "$how") ||
            fail "'$how' did not end the program"
        saw "exit: 0"
    done
}
