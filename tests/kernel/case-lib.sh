# What the kernel-e2e cases share, sourced by case scripts running as root in the guest (after
# gadget.sh's functions, which it sources itself):
#
#   kv_cli NAME STATUS [--as UID] [--bound SECONDS] -- ARGS...
#                    runs kelvane-cli ARGS in the case's work folder, bounded, as root or as the
#                    user UID (with the setpriv options in KV_USER_CAPS); its output goes to KV_OUT/NAME.out and .err, one summary line to
#                    KV_OUT/summary; a status other than STATUS is a failure of the case
#   kv_check WHAT COMMAND...    a failure of the case unless COMMAND succeeds
#   kv_same_bytes WHAT FILE OFFSET LENGTH OTHER [OTHER_OFFSET]
#                    LENGTH bytes of FILE from OFFSET equal those of OTHER (from OTHER_OFFSET)
#   kv_random_file FILE BYTES
#   kv_end           ends the case: status 0 only when nothing failed
#
# Every job's time is in KV_OUT/summary, so a slow step is seen without rerunning.

# shellcheck source=tests/kernel/gadget.sh
. "$KV_SOURCE/tests/kernel/gadget.sh"

KV_CLI=${KV_CLI:-$KV_BUILD/cli/kelvane-cli}
KV_WORK=${KV_WORK:-/tmp/kv-work}
kv_failed=0
KV_USER_CAPS=()
mkdir -p "$KV_WORK" && chmod 755 "$KV_WORK"
cd "$KV_WORK" || exit 1
# AddressSanitizer's leak check stops the world with ptrace, which a second user's process may
# not do; the native unit tiers check leaks.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}

kv_fail() {
    echo "FAILED: $*" | tee -a "$KV_OUT/summary" >&2
    kv_failed=$((kv_failed + 1))
}

kv_check() {
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        echo "ok: $what" >>"$KV_OUT/summary"
    else
        kv_fail "$what"
    fi
}

kv_cli() {
    local name=$1 expected=$2 bound=120
    shift 2
    local -a as=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        case $1 in
        --as)
            as=(setpriv --reuid="$2" --regid="$2" --clear-groups "${KV_USER_CAPS[@]}")
            shift 2
            ;;
        --bound)
            bound=$2
            shift 2
            ;;
        *) shift ;;
        esac
    done
    shift
    local start=$EPOCHREALTIME
    timeout -k 5 "$bound" "${as[@]}" "$KV_CLI" "$@" >"$KV_OUT/$name.out" 2>"$KV_OUT/$name.err"
    local status=$?
    local took
    took=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
    echo "$name: kelvane-cli $* -> $status in $took s (expected $expected)" >>"$KV_OUT/summary"
    if [ "$status" != "$expected" ]; then
        kv_fail "$name: status $status, expected $expected"
        sed 's/^/    | /' "$KV_OUT/$name.out" "$KV_OUT/$name.err" | tail -n 30 >&2
        return 1
    fi
}

kv_same_bytes() {
    local what=$1 file=$2 offset=$3 length=$4 other=$5 otherOffset=${6:-0}
    if cmp -s -n "$length" -i "$offset:$otherOffset" "$file" "$other"; then
        echo "ok: $what" >>"$KV_OUT/summary"
    else
        kv_fail "$what ($(cmp -n "$length" -i "$offset:$otherOffset" "$file" "$other" 2>&1 | head -n 1))"
    fi
}

kv_random_file() {
    head -c "$2" /dev/urandom >"$1"
}

kv_end() {
    echo "case ends: $kv_failed failure(s)" >>"$KV_OUT/summary"
    cat "$KV_OUT/summary"
    exit $((kv_failed > 0))
}
