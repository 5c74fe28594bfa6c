#!/bin/bash
# The kernel-e2e tier's virtual machine: one QEMU guest running Debian's own kernel, with the
# host's root as its read-only root, so the build tree's programs run in it unchanged.
#
#   kernel-guest.sh [--build DIR] [--timeout SECONDS] [--udcs N] [--clean] --out OUTDIR
#                   -- SCRIPT [ARGS...]
#   kernel-guest.sh [--build DIR] --fetch-only
#
# The guest runs SCRIPT (a host path; with bash unless it is executable) with ARGS as root, in
# the host's root with its own proc, sys, dev (devtmpfs), configfs, /tmp and /run. OUTDIR is
# writable there at the same path as on the host; the case's environment holds KV_OUT (OUTDIR),
# KV_SOURCE (this source tree), KV_BUILD (the build folder) and MODPROBE_OPTIONS, which points
# modprobe at the guest kernel's modules. dummy_hcd is loaded with N device controllers
# (dummy_udc.0 ..; default 2, 0 leaves it out). Afterwards OUTDIR holds console (the serial
# console: the kernel's errors and the case's output, also copied to standard output), dmesg and
# status. --clean empties OUTDIR first.
#
# The kernel is the package that linux-image-amd64 depends on, downloaded once into
# BUILD/kernel with apt-get download and unpacked there; nothing is installed. --fetch-only
# prepares it and the initramfs and boots nothing.
#
# Exit status: SCRIPT's own; 124 when the time bound (default 120 s) ended the guest; 125 when
# the guest ended without reporting a status (a kernel panic, a failed init); 126 when no guest
# could be started (no kernel and no way to fetch one, QEMU missing); 2 for a usage error.
#
# Environment: KV_NATIVE_BUILD (the default build folder), KV_GUEST_SMP (virtual CPUs,
# default 1), KV_GUEST_MEMORY (MiB, default 2048).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)

# Bumped when the initramfs' layout changes in a way its inputs do not show.
initramfs_format=1
# What the guest loads at boot, dependencies resolved from modules.dep. virtio_pci is the 9p
# transport's bus and no symbol dependency of anything else.
guest_modules=(virtio_pci 9pnet_virtio 9p configfs libcomposite usb_f_fs dummy_hcd usb_storage
    sd_mod sg)

usage() {
    echo usage: >&2
    sed -n '5,7p' "${BASH_SOURCE[0]}" | sed 's/^#//' >&2
    exit 2
}
say() { echo "kernel-guest: $*" >&2; }
cannot() {
    say "$*"
    exit 126
}

build=${KV_NATIVE_BUILD:-$root/build-native}
timeout=120
udcs=2
clean=0
fetch_only=0
out=""
while [ $# -gt 0 ]; do
    case $1 in
    --build) [ $# -ge 2 ] || usage; build=$2; shift 2 ;;
    --timeout) [ $# -ge 2 ] || usage; timeout=$2; shift 2 ;;
    --udcs) [ $# -ge 2 ] || usage; udcs=$2; shift 2 ;;
    --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
    --clean) clean=1; shift ;;
    --fetch-only) fetch_only=1; shift ;;
    --) shift; break ;;
    *) usage ;;
    esac
done
[[ $timeout =~ ^[1-9][0-9]*$ ]] || { say "--timeout needs whole seconds"; usage; }
[[ $udcs =~ ^[0-9]$ ]] || { say "--udcs needs 0 to 9"; usage; }
if [ $fetch_only -eq 0 ]; then
    [ -n "$out" ] && [ $# -ge 1 ] || usage
    script=$1
    shift
fi

# Paths the guest meets at the same place: physical, absolute, one line each.
physical() {
    local dir
    dir=$(cd "$1" 2>/dev/null && pwd -P) || return 1
    [[ $dir != *$'\n'* ]] || return 1
    printf '%s\n' "$dir"
}

mkdir -p "$build" && build=$(physical "$build") || cannot "no build folder $build"
kdir=$build/kernel

# --- The kernel ------------------------------------------------------------------------------

# The package that linux-image-amd64 depends on now, e.g. linux-image-6.1.0-57-amd64.
kernel_package() {
    LC_ALL=C apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *|\{0,1\}Depends: \(linux-image-[^ <>]*\)$/\1/p' | head -n 1
}

# Downloads and unpacks the kernel into $kdir/root unless a complete one is there. The release
# file is written last, so an interrupted fetch is never taken for a kernel.
fetch_kernel() {
    if [ -f "$kdir/release" ]; then
        release=$(<"$kdir/release")
        [ -f "$kdir/root/boot/vmlinuz-$release" ] && return 0
    fi
    rm -rf "$kdir/root" "$kdir/download" "$kdir/release" "$kdir/package" "$kdir/vmlinux"
    local package
    package=$(kernel_package)
    if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
        say "no package lists name the kernel; running apt-get update"
        apt-get update -qq >&2
        package=$(kernel_package)
    fi
    [ -n "$package" ] || cannot "no kernel in $kdir, and apt knows no linux-image-amd64" \
        "(apt-get update needs to run once, with network to Debian's archive)"
    say "fetching $package into $kdir (once per build folder)"
    mkdir "$kdir/download" || cannot "cannot make $kdir/download"
    # As root apt downloads as its own unprivileged user, who must be able to write there.
    [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1 && chown _apt "$kdir/download"
    if ! (cd "$kdir/download" && apt-get download -q "$package" >&2); then
        # Old package lists name a kernel that the archive may have dropped since.
        local fetched=0
        if [ "$(id -u)" -eq 0 ] && apt-get update -qq >&2; then
            package=$(kernel_package)
            [ -n "$package" ] && say "fetching $package" &&
                (cd "$kdir/download" && apt-get download -q "$package" >&2) && fetched=1
        fi
        if [ $fetched -eq 0 ]; then
            rm -rf "$kdir/download"
            cannot "no kernel in $kdir, and ${package:-the kernel} could not be downloaded" \
                "(the first run needs network to Debian's package archive)"
        fi
    fi
    local debs=("$kdir"/download/*.deb)
    [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || cannot "apt-get download left no package"
    dpkg-deb -x "${debs[0]}" "$kdir/root" || cannot "cannot unpack ${debs[0]}"
    rm -rf "$kdir/download"
    local releases=("$kdir"/root/lib/modules/*)
    [ ${#releases[@]} -eq 1 ] && [ -d "${releases[0]}" ] || cannot "$package holds no one module tree"
    release=${releases[0]##*/}
    [ -f "$kdir/root/boot/vmlinuz-$release" ] || cannot "$package holds no vmlinuz-$release"
    command -v depmod >/dev/null || cannot "depmod is missing (package kmod)"
    depmod -b "$kdir/root" "$release" || cannot "depmod failed for $release"
    printf '%s\n' "$package" >"$kdir/package"
    printf '%s\n' "$release" >"$kdir/release.new" && mv -f "$kdir/release.new" "$kdir/release"
}

# The kernel image without its self-extractor. The emulated CPU takes about 5 s to unpack the
# compressed image at every boot; QEMU starts the plain ELF image at its PVH entry directly.
# Where it cannot be had, the guest boots the compressed image, only slower.
unpack_vmlinux() {
    kernel=$kdir/root/boot/vmlinuz-$release
    if [ -f "$kdir/vmlinux" ]; then
        kernel=$kdir/vmlinux
        return 0
    fi
    command -v xz >/dev/null || return 0
    local offset
    offset=$(LC_ALL=C grep -obUaP -m 1 '\xfd7zXZ\x00' "$kernel" | cut -d: -f1)
    [[ $offset =~ ^[0-9]+$ ]] || return 0
    # xz stops at the end of its stream, before the image's trailer.
    if xz -dc --single-stream < <(tail -c +$((offset + 1)) "$kernel") >"$kdir/vmlinux.new" 2>/dev/null &&
        [ "$(head -c 4 "$kdir/vmlinux.new" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
        mv -f "$kdir/vmlinux.new" "$kdir/vmlinux"
        kernel=$kdir/vmlinux
    else
        rm -f "$kdir/vmlinux.new"
    fi
}

# The module files the guest loads, in loading order, as paths below lib/modules/RELEASE.
module_order() {
    local moddir=$kdir/root/lib/modules/$release line name path
    local -A path_of=() deps_of=() builtin=() seen=()
    local -a order=()
    while IFS= read -r line; do
        path=${line%%:*}
        name=${path##*/}
        name=${name%%.ko*}
        path_of[${name//-/_}]=$path
        deps_of[$path]=${line#*:}
    done <"$moddir/modules.dep"
    while IFS= read -r path; do
        name=${path##*/}
        name=${name%%.ko*}
        builtin[${name//-/_}]=1
    done <"$moddir/modules.builtin"
    visit() {
        local p=$1 d
        [ -n "${seen[$p]:-}" ] && return
        seen[$p]=1
        for d in ${deps_of[$p]}; do visit "$d"; done
        order+=("$p")
    }
    for name in "${guest_modules[@]}"; do
        if [ -n "${path_of[$name]:-}" ]; then
            visit "${path_of[$name]}"
        elif [ -z "${builtin[$name]:-}" ]; then
            say "the kernel $release has no module $name"
            return 1
        fi
    done
    printf '%s\n' "${order[@]}"
}

# Builds $kdir/initramfs.cpio unless the one there was built from the same inputs.
build_initramfs() {
    local busybox stamp modules
    busybox=$(command -v busybox) || cannot "busybox is missing (package busybox-static)"
    [[ $(LC_ALL=C ldd "$busybox" 2>&1) == *"not a dynamic executable"* ]] ||
        cannot "$busybox is not statically linked (package busybox-static)"
    command -v cpio >/dev/null || cannot "cpio is missing (package cpio)"
    modules=$(module_order) || cannot "cannot resolve the guest's modules"
    stamp=$( {
        echo "format $initramfs_format release $release"
        printf '%s\n' "$modules"
        sha256sum "$busybox" "$root/tests/kernel/guest-init"
    } | sha256sum)
    [ -f "$kdir/initramfs.cpio" ] && [ -f "$kdir/initramfs.stamp" ] &&
        [ "$(<"$kdir/initramfs.stamp")" = "$stamp" ] && return 0

    local stage=$kdir/initramfs.d module
    rm -rf "$stage" "$kdir/initramfs.stamp"
    mkdir -p "$stage/bin" "$stage/etc" "$stage/lib/modules/$release" || cannot "cannot make $stage"
    cp "$busybox" "$stage/bin/busybox" && cp "$root/tests/kernel/guest-init" "$stage/init" &&
        chmod 755 "$stage/init" || cannot "cannot stage the initramfs"
    while IFS= read -r module; do
        mkdir -p "$stage/lib/modules/$release/${module%/*}" &&
            cp "$kdir/root/lib/modules/$release/$module" "$stage/lib/modules/$release/$module" ||
            cannot "cannot stage $module"
        printf '/lib/modules/%s/%s\n' "$release" "$module" >>"$stage/etc/kv-modules"
    done <<<"$modules"
    # Uncompressed: the guest's emulated CPU would spend longer unpacking than it reads.
    (cd "$stage" && find . -print0 | LC_ALL=C sort -z |
        cpio --null -o -H newc --owner 0:0 --reproducible --quiet) >"$kdir/initramfs.cpio.new" &&
        mv -f "$kdir/initramfs.cpio.new" "$kdir/initramfs.cpio" || cannot "cannot write the initramfs"
    rm -rf "$stage"
    printf '%s\n' "$stamp" >"$kdir/initramfs.stamp"
}

# Kernel and initramfs under one lock on the kernel folder, so concurrent cases fetch once and
# never boot a half-written file. The lock is the folder itself: no file to plant a link at.
prepare() {
    mkdir -p "$kdir" || cannot "cannot make $kdir"
    [ -d "$kdir" ] && [ ! -L "$kdir" ] || cannot "$kdir is not a folder of its own"
    local lock
    exec {lock}<"$kdir" || cannot "cannot open $kdir to lock it"
    if ! flock -w 900 "$lock"; then
        cannot "another run held $kdir for 15 minutes; not going on without the lock"
    fi
    fetch_kernel
    unpack_vmlinux
    build_initramfs
    exec {lock}<&-
}

prepare
[ $fetch_only -eq 1 ] && exit 0

# --- One guest -------------------------------------------------------------------------------

command -v qemu-system-x86_64 >/dev/null || cannot "qemu-system-x86_64 is missing (package qemu-system-x86)"
[ -f "$script" ] && [[ $script != *$'\n'* ]] || { say "no script $script"; usage; }
script=$(physical "$(dirname "$script")")/${script##*/} || cannot "cannot resolve $script"
if [ $clean -eq 1 ]; then
    if [ -d "$out" ] && [ ! -L "$out" ]; then
        here=$(physical "$out") || cannot "cannot resolve $out"
        case "$root/" in "${here%/}/"*) cannot "--clean would empty $here, which holds the source" ;; esac
        case "$build/" in "${here%/}/"*) cannot "--clean would empty $here, which holds the build" ;; esac
    fi
    # A link at OUTDIR is removed itself, never what it points to.
    rm -rf -- "${out%/}" || cannot "cannot empty $out"
fi
mkdir -p "$out" && out=$(physical "$out") || cannot "no output folder $out"
case $out in
/ | /proc | /proc/* | /sys | /sys/* | /dev | /dev/*) cannot "$out cannot be the output folder" ;;
esac
# A status left by an earlier run must never pass for this one's.
rm -f "$out/status" "$out/console" "$out/dmesg" || cannot "cannot clear $out"

job=$(mktemp -d) || cannot "cannot make a job folder"
qemu=""
finish() {
    if [ -n "$qemu" ]; then
        kill -TERM "$qemu" 2>/dev/null
        local _
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 "$qemu" 2>/dev/null || break
            sleep 0.5
        done
        kill -KILL "$qemu" 2>/dev/null
        wait "$qemu" 2>/dev/null
        qemu=""
    fi
    rm -rf "$job"
}
trap finish EXIT
trap 'say "interrupted"; exit 130' INT
trap 'say "terminated"; exit 143' TERM HUP

printf '%s\n' "$out" >"$job/out"
printf '%s\n' "$root" "$build" "${script%/*}" >"$job/keep"
{
    echo 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'
    echo 'export HOME=/root TERM=dumb LANG=C.UTF-8'
    printf 'export KV_OUT=%q KV_SOURCE=%q KV_BUILD=%q\n' "$out" "$root" "$build"
    printf 'export MODPROBE_OPTIONS=%q\n' "-d $kdir/root"
    printf 'cd %q || exit 126\n' "$out"
    if [ -x "$script" ]; then
        printf 'exec %q' "$script"
    else
        printf 'exec /bin/bash %q' "$script"
    fi
    printf ' %q' "$@"
    echo
} >"$job/run.sh"

# QEMU's option values double their commas.
q() { printf '%s' "${1//,/,,}"; }

started=$SECONDS
# TCG: under this kind of machine's nested virtualisation KVM is far slower, and one virtual CPU
# boots and runs a case faster than two. No display at all rather than -nographic, which would
# make the firmware draw on the serial console. pdeathsig: a runner killed outright still takes
# its guest with it.
setpriv --pdeathsig KILL -- qemu-system-x86_64 -nodefaults -no-user-config \
    -accel tcg -m "${KV_GUEST_MEMORY:-2048}" -smp "${KV_GUEST_SMP:-1}" \
    -display none -no-reboot -monitor none \
    -kernel "$kernel" -initrd "$kdir/initramfs.cpio" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 kv.udcs=$udcs" \
    -chardev "stdio,id=console,signal=off,logfile=$(q "$out/console")" -serial chardev:console \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$(q "$out"),mount_tag=out,security_model=none" \
    -virtfs "local,path=$(q "$job"),mount_tag=kvjob,security_model=none,readonly=on" \
    </dev/null &
qemu=$!
setpriv --pdeathsig KILL -- sleep "$timeout" &
sleeper=$!
ended=""
wait -n -p ended "$qemu" "$sleeper"
qemu_status=$?
if [ "$ended" = "$sleeper" ]; then
    say "the guest was still running after $timeout s and was ended (console: $out/console)"
    exit 124
fi
qemu=""
kill "$sleeper" 2>/dev/null
wait "$sleeper" 2>/dev/null

# The status file is the guest's: read it as a plain file only, never through a link or from a
# FIFO planted there.
status=""
if [ -f "$out/status" ] && [ ! -L "$out/status" ]; then
    status=$(dd if="$out/status" bs=16 count=1 iflag=nofollow,nonblock status=none 2>/dev/null)
fi
if ! [[ $status =~ ^[0-9]{1,3}$ ]] || [ "$status" -gt 255 ]; then
    say "the guest ended after $((SECONDS - started)) s without reporting a status" \
        "(QEMU's status $qemu_status; console: $out/console)"
    exit 125
fi
say "the case ended with status $status after $((SECONDS - started)) s"
exit "$status"
