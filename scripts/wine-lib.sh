# Wine prefixes and displays for the tests (sourced, not run).
#
# Booting a Wine prefix takes a minute on a small machine, so a build folder boots one template
# once, and every test program and every end-to-end case runs in a copy of its own with a
# wineserver of its own. Nothing one program does to its server (ending it, crashing it, filling
# it) can then reach another program. The copy links the template's system folders (the PE files
# that Wine installed and only ever reads) and copies everything else, the registry above all:
# a copy costs milliseconds instead of the seconds of 700 MB. A test that replaces a file below
# system32 must therefore delete it first, never write into it.
#
# A copy's server is started persistent (wineserver -p) and ended only by kv_wine_server_end.
# A server that is not persistent shuts down three seconds after its last program ends, and
# closes its socket on the way: a program starting at that moment connects into the closing
# socket and dies with "wine client error:0: recvmsg: Connection reset by peer". A persistent
# server never starts that shutdown, so programs run one after another in a prefix cannot meet
# it.

# Debian's Wine has no preloader: its loader is a fixed-address program at 0x7d000000 whose heap
# (brk) the kernel starts at a random offset of up to 32 MB above it, and every process then maps
# the shared user data at 0x7ffe0000. Where the heap has reached that address the process dies at
# once with "failed to map the shared user data: c0000018" (conflicting addresses), which a test
# sees as a program that never started or a CreateProcess error. kv_fixed_layout runs a command
# with address-space randomisation off, so every Wine process below it (children and the server
# included: the setting is inherited) has the same layout, and that layout works.
kv_fixed_layout() {
    setarch "$(uname -m)" --addr-no-randomize "$@"
}

# Headless, quiet Wine without the Mono and Gecko installer dialogs.
kv_wine_quiet() {
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
}

# Boots a prefix in place: kv_wine_boot PREFIX. Its server is waited for, so that the registry
# is saved and nothing runs in the prefix afterwards.
kv_wine_boot() {
    local prefix=$1
    mkdir -p "$(dirname "$prefix")"
    if ! WINEPREFIX=$prefix timeout --kill-after=5 300 wineboot -i >"$prefix.log" 2>&1 ||
        ! WINEPREFIX=$prefix timeout 120 wineserver -w >>"$prefix.log" 2>&1; then
        cat "$prefix.log" >&2
        echo "wine-lib: wineboot failed for $prefix; see $prefix.log" >&2
        return 1
    fi
    touch "$prefix/.kv-ready"
}

# Prints the build folder's template prefix, booting it first if needed; concurrent callers wait
# for each other. kv_wine_template BUILD_DIR
kv_wine_template() {
    local template=$1/wine-template
    if [ ! -f "$template/.kv-ready" ]; then
        (
            flock 9
            if [ ! -f "$template/.kv-ready" ]; then
                # Booted under another name and renamed, so a half-booted template never counts.
                rm -rf "$template" "$template.boot"
                kv_wine_boot "$template.boot" && mv "$template.boot" "$template"
            fi
        ) 9>"$1/wine-template.lock" || return 1
    fi
    echo "$template"
}

# Makes PREFIX a fresh copy of TEMPLATE (an existing PREFIX is replaced; its server must have
# ended). kv_wine_copy TEMPLATE PREFIX
kv_wine_copy() {
    local template=$1 prefix=$2 system=drive_c/windows folder
    rm -rf "$prefix"
    mkdir -p "$prefix"
    tar -C "$template" --exclude="./$system/system32" --exclude="./$system/syswow64" \
        --exclude="./$system/winsxs" -cf - . | tar -C "$prefix" -xf - || return 1
    for folder in system32 syswow64 winsxs; do
        [ -d "$template/$system/$folder" ] || continue
        # Links need the same file system; a copy elsewhere costs more but works the same.
        cp -al "$template/$system/$folder" "$prefix/$system/" 2>/dev/null ||
            cp -a "$template/$system/$folder" "$prefix/$system/" || return 1
    done
}

# Starts PREFIX's persistent server (above), detached from the caller's output so that readers
# of that output do not wait for it. kv_wine_server_start PREFIX
kv_wine_server_start() {
    WINEPREFIX=$1 timeout 30 wineserver -p </dev/null >/dev/null 2>&1 || {
        echo "wine-lib: cannot start the wineserver of $1" >&2
        return 1
    }
    # Tells the scanner driver's start that this server is already persistent.
    export KV_WINESERVER_PERSISTENT=$1
}

# Ends PREFIX's server and everything still running in the prefix, however stuck.
# kv_wine_server_end PREFIX LEFTOVERS_SCRIPT
kv_wine_server_end() {
    [ -d "$1" ] || return 0
    WINEPREFIX=$1 timeout 30 wineserver -k >/dev/null 2>&1
    WINEPREFIX=$1 timeout 30 wineserver -w >/dev/null 2>&1
    bash "$2" --kill "$1" >/dev/null 2>&1
    return 0
}

# The X display of this test's CTest lane: CTest hands each test one slot of the resource
# "displays" (ids x<N> for display :N, see scripts/test.sh). Outside such a run the caller's
# DISPLAY stays.
kv_lane_display() {
    local group=${CTEST_RESOURCE_GROUP_0_DISPLAYS:-} id
    [ -n "$group" ] || return 0
    id=${group#id:}
    id=${id%%,*}
    export DISPLAY=":${id#x}"
}

# Starts COUNT virtual X displays and writes CTest's resource file RESOURCES for all but the first
# KEPT of them: the resource "displays" with one slot per display, id x<N> for display :N
# (kv_lane_display reads it back); the kept ones are the caller's. Xvfb picks free display
# numbers itself; they are in kv_displays, its pids in kv_display_pids.
# kv_start_displays COUNT RESOURCES [KEPT]
kv_displays=()
kv_display_pids=()
kv_start_displays() {
    local count=$1 resources=$2 kept=${3:-0} i fifo number
    fifo=$(mktemp -u)
    for ((i = 0; i < count; i++)); do
        mkfifo "$fifo" || return 1
        Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
        kv_display_pids+=($!)
        number=$(timeout 30 head -n 1 "$fifo")
        rm -f "$fifo"
        [ -n "$number" ] || return 1
        kv_displays+=("$number")
    done
    {
        printf '{"version": {"major": 1, "minor": 0}, "local": [{"displays": ['
        for ((i = kept; i < count; i++)); do
            [ "$i" -eq "$kept" ] || printf ', '
            printf '{"id": "x%s", "slots": 1}' "${kv_displays[$i]}"
        done
        printf ']}]}\n'
    } >"$resources"
}

kv_stop_displays() {
    [ ${#kv_display_pids[@]} -eq 0 ] || kill "${kv_display_pids[@]}" 2>/dev/null
    wait "${kv_display_pids[@]}" 2>/dev/null
    kv_display_pids=()
    kv_displays=()
}
