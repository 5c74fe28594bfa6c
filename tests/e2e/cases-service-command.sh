# The service commands ("net stop stisvc", "net start stisvc") around every device command.

# The case's Wine prefix, made one whose system net.exe cannot be started (it is no program).
use_prefix_without_net() {
    local net="$KV_WINEPREFIX/drive_c/windows/system32/net.exe"
    [ -f "$net" ] || fail "no net.exe in the prefix's system folder"
    # The system folder's files are links to the template's: replace the link, never write into it.
    rm -f "$net"
    echo "not a program" >"$net"
}

# When the service command cannot be started, "CreaetProcess Error!" goes into the status bar and
# the command runs all the same: the version box comes up while the status shows the error of the
# service stop, and the service start's error follows once the box is closed.
case_service_command_cannot_start() {
    use_prefix_without_net
    operate window kelvane-sim.exe <<'SCRIPT'
click Get Version
read-messagebox 60000
read-status
close-messagebox
wait-scroll 2 30000
read-status
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw 'messagebox: Kelvane|The Verision:1.23\r\n'
    [ "$(grep -c '^status: CreaetProcess Error!$' "$out")" -eq 2 ] ||
        fail "expected \"CreaetProcess Error!\" with the box up and after it"
    saw "children: 0 started, 0 ended"
    saw "exit: 0"
    file_holds result2.ini '[result]\r\nversion=1.23\r\n'

    # The check mode goes on as well.
    rm result2.ini
    operate checkfw kelvane-sim.exe CHECKFW <<'SCRIPT'
wait-exit 60000
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "exit: 0"
    file_holds result2.ini '[result]\r\nversion=1.23\r\n'
}

# A net.exe planted in the program's folder and in the current folder is never started: the
# service commands run the system's net.exe, in the window and in the check mode.
case_planted_net_never_runs() {
    mkdir app cwd
    mv kelvane.exe app/
    cp "$KV_MARKER" app/net.exe
    cp "$KV_MARKER" cwd/net.exe
    # The planted program does leave its mark when it runs.
    run_wine app/net.exe stop stisvc >/dev/null 2>&1 || fail "the planted net.exe does not run"
    [ -f app/marker.log ] || fail "the planted net.exe left no marker.log"
    rm app/marker.log

    cd cwd || fail "no folder"
    operate window '..\app\kelvane.exe' <<'SCRIPT'
click Get Version
wait-status No Device is Existing. 60000
wait-frames 1 30000
close
wait-exit
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    # One frame; which net.exe ran shows in the marker files below, which stay absent.
    saw "children: 4 started, 4 ended"
    operate checkfw '..\app\kelvane.exe' CHECKFW <<'SCRIPT'
wait-exit 60000
SCRIPT
    [ $? -eq 0 ] || fail "the operator stopped"
    saw "children: 4 started, 4 ended"
    cd .. || fail "no folder"
    absent app/marker.log
    absent cwd/marker.log
    file_holds app/result2.ini '[result]\r\nversion=\r\n'
}
