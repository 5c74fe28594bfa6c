#!/bin/bash
# Wall time of `kelvane-cli-sim update --all` with a 1 MiB image on K = 1, 2, 4 and 8 simulated
# scanners: disks (each with a service event of its own), still-image scanners sharing their
# event, and still-image scanners with --own-events; each time also as a ratio to K = 1.
#
#   scripts/bench-station.sh [KELVANE_CLI_SIM]     (default: build-native/cli/kelvane-cli-sim)
#
# A measurement, not a test: nothing here passes or fails on time. kelvane-cli-sim runs on the
# real system with simulated scanners, so a job's time is mostly the protocol's own polls in
# real time (a disk block costs a release poll of its own); jobs that wait for one another show
# as a ratio of about K.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$here/build-native/cli/kelvane-cli-sim}
[ -x "$cli" ] || { echo "bench-station.sh: no program $cli" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
head -c 1048576 /dev/urandom >image.bin

measure() {  # PRESENTATION K ARGS...: seconds of one run
    local presentation=$1 k=$2 start status
    shift 2
    start=$EPOCHREALTIME
    KV_SIM_SCANNERS=$k KV_SIM_PRESENTATION=$presentation "$cli" "$@" --all update image.bin \
        >run.out 2>run.err && status=0 || status=$?
    [ "$status" -eq 0 ] || { echo "bench-station.sh: the run ended with $status" >&2; cat run.out >&2; exit 1; }
    awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }'
}

echo "cores: $(nproc); program: $cli"
printf '%-28s %8s %8s %8s %8s\n' "scanners" "K=1" "K=2" "K=4" "K=8"
for row in "disk|disk" "still-image|still-image" "still-image --own-events|still-image|--own-events"; do
    IFS='|' read -r label presentation extra <<<"$row"
    times=() ratios=()
    for k in 1 2 4 8; do
        # shellcheck disable=SC2086
        t=$(measure "$presentation" $k $extra)
        times+=("$t")
        ratios+=("$(awk -v t="$t" -v one="${times[0]}" 'BEGIN { printf "%.2fx", t / one }')")
    done
    printf '%-28s %7ss %7ss %7ss %7ss\n' "$label" "${times[@]}"
    printf '%-28s %8s %8s %8s %8s\n' "  ratio to K=1" "${ratios[@]}"
done
