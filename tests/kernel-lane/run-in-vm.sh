#!/usr/bin/env bash
# Runs a command inside a throw-away VM that has what the board has and the
# build machines lack: real SocketCAN (two emulated SJA1000 CAN controllers on
# one bus, or a vcan "can0"; can-raw, can-isotp) and real GPIO character
# devices (gpio-sim, /dev/gpiochip0..4).
#
#   tests/kernel-lane/run-in-vm.sh [--] COMMAND [ARGS...]
#
# The VM boots Debian's own kernel (/boot/vmlinuz-*) under qemu (TCG), sees the
# host's root read-only through virtio-9p with a tmpfs overlay on top (so it can
# write /opt/zuk/configs, /tmp, ...), and runs COMMAND as root in the current
# directory. The exit status is COMMAND's; 124 means the VM timed out, 125 that
# the lane itself failed.
#
# Environment:
#   LANE_WORK     cache and run folder (default: <repo>/build-lane)
#   LANE_KERNEL   kernel version to boot (default: newest one with CAN modules
#                 and headers)
#   LANE_TIMEOUT  seconds before the VM is killed (default 600)
#   LANE_MEM      guest memory (default 1G); LANE_SMP guest CPUs (default 2)
#   LANE_ARCH     amd64 (default): the host's kernel packages and root; arm64:
#                 qemu-system-aarch64 with the kernel from LANE_KERNEL_ROOT and the
#                 guest root from LANE_GUEST_ROOT (tests/kernel-lane/arm64/ makes both)
#   LANE_CAN      controller (default): two emulated SJA1000 controllers on one
#                 emulated bus (qemu's kvaser_pci), can0 the board's side (down
#                 until someone sets its bitrate), can1 the vehicle's side (up
#                 at 500 kbit/s); vcan: one vcan "can0", up, for both sides
#   LANE_INIT     busybox (default): COMMAND runs chrooted under the lane's own
#                 init; systemd: the host's systemd boots the overlay as init
#                 (udev, journald, real sudo) and runs COMMAND as a service
#   LANE_VERBOSE  1: stream the guest console to stderr
# Variables named LANE_* or DIAG_* are passed on to COMMAND. Inside the VM,
# $LANE_OUT is a folder shared with the host (<run folder>/out).
set -euo pipefail

lane_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$lane_dir/../.." && pwd)
work=${LANE_WORK:-$repo/build-lane}
timeout_s=${LANE_TIMEOUT:-600}
mem=${LANE_MEM:-1G}
smp=${LANE_SMP:-2}

# Recipe versions: bump to force a rebuild of the cached pieces.
readonly gpio_sim_recipe=1
readonly initramfs_recipe=1

# What differs between the guest architectures. The kernel (image, modules,
# build headers) comes from kernel_root, the guest's root from guest_root.
case "${LANE_ARCH:-amd64}" in
    amd64)
        qemu_system=qemu-system-x86_64
        qemu_machine=(-cpu max)
        # On a loaded machine the emulated timer can fail the kernel's check
        # of the IO-APIC timer at boot, which then panics.
        kernel_args=(no_timer_check)
        guest_console=ttyS0
        kbuild_args=()
        busybox=/bin/busybox
        kernel_root=/
        guest_root=/
        ;;
    arm64)
        qemu_system=qemu-system-aarch64
        # A Cortex-A72, as on many arm64 boards; cheaper to emulate than "max".
        qemu_machine=(-machine virt -cpu cortex-a72)
        kernel_args=()
        guest_console=ttyAMA0
        kbuild_args=(ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu-)
        busybox=${LANE_BUSYBOX:?LANE_BUSYBOX: an arm64 busybox-static binary}
        kernel_root=${LANE_KERNEL_ROOT:?LANE_KERNEL_ROOT: the unpacked arm64 kernel packages}
        guest_root=${LANE_GUEST_ROOT:?LANE_GUEST_ROOT: an arm64 root file system}
        ;;
    *) echo "lane: LANE_ARCH must be amd64 or arm64" >&2; exit 125 ;;
esac

# Modules the guest needs; modprobe resolves their dependencies.
guest_modules=(virtio_pci 9pnet_virtio 9p overlay configfs can can-raw can-dev vcan can-isotp)

can_mode=${LANE_CAN:-controller}
case "$can_mode" in
    controller)
        # Two controllers on one emulated bus, the board's and the vehicle's
        # side; kvaser_pci drives them (and brings sja1000 along).
        can_devices=(-object can-bus,id=canbus0
                     -device kvaser_pci,canbus=canbus0 -device kvaser_pci,canbus=canbus0)
        can_driver=kvaser_pci
        guest_modules+=("$can_driver") ;;
    vcan) can_devices=() can_driver=vcan ;;
    *) echo "lane: LANE_CAN must be controller or vcan, not $can_mode" >&2; exit 125 ;;
esac
readonly guest_modules

say() { echo "lane: $*" >&2; }
die() { say "ERROR: $*"; exit 125; }
now() { date +%s; }

[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || die "usage: $0 [--] COMMAND [ARGS...]"

require_tools() {
    local tool missing=()
    for tool in "$qemu_system" cpio modprobe modinfo make gcc tar xz timeout flock; do
        command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
    done
    [ -x "$busybox" ] || missing+=("$busybox (busybox-static)")
    [ ${#missing[@]} -eq 0 ] ||
        die "missing: ${missing[*]} (SETUP_KERNEL_LANE=1 scripts/setup.sh installs them)"
    if ldd "$busybox" >/dev/null 2>&1; then
        die "$busybox is dynamically linked; install busybox-static"
    fi
}

# Newest installed kernel that has an image, the CAN modules and build headers.
pick_kernel() {
    if [ -n "${LANE_KERNEL:-}" ]; then
        echo "$LANE_KERNEL"
        return
    fi
    local image version
    for image in $(ls -1 "$kernel_root"/boot/vmlinuz-* 2>/dev/null | sort -rV); do
        version=${image##*/vmlinuz-}
        if [ -f "$kernel_root/lib/modules/$version/modules.dep" ] &&
           [ -f "$kernel_root/lib/modules/$version/build/Makefile" ] &&
           modinfo -b "$kernel_root" -k "$version" "$can_driver" >/dev/null 2>&1; then
            echo "$version"
            return
        fi
    done
    die "no kernel in $kernel_root/boot with CAN modules ($can_driver) and headers (install linux-image-amd64 and linux-headers-amd64)"
}

check_path_has_no_spaces() {
    case "$1" in
        *[[:space:]]*) die "path with white space not supported by the lane: $1" ;;
    esac
}

# gpio-sim is not enabled in Debian's kernel; build it out of tree from the
# kernel's own source package. Debian's kernel has no CONFIG_IRQ_SIM and does
# not export irq_to_desc, so the interrupt simulator is compiled into the
# module and dispatches through generic_handle_irq.
build_gpio_sim() {
    local kver=$1 series tarball dir stamp build_dir
    series=$(echo "$kver" | cut -d. -f1,2)
    tarball=/usr/src/linux-source-$series.tar.xz
    [ -f "$tarball" ] || die "$tarball missing (install linux-source-$series)"
    build_dir=$kernel_root/lib/modules/$kver/build
    dir=$work/gpio-sim/$kver
    stamp="recipe=$gpio_sim_recipe kernel=$kver source=$(stat -c %s-%Y "$tarball")"
    if [ -f "$dir/gpio-sim-mod.ko" ] && [ "$(cat "$dir/stamp" 2>/dev/null)" = "$stamp" ]; then
        return
    fi
    say "building gpio-sim for $kver from $tarball"
    rm -rf "$dir"
    mkdir -p "$dir/extract" "$dir/mod"
    tar -xJf "$tarball" -C "$dir/extract" --wildcards \
        '*/drivers/gpio/gpio-sim.c' '*/drivers/gpio/gpiolib.h' '*/kernel/irq/irq_sim.c' ||
        die "cannot extract the gpio-sim sources from $tarball"
    cp "$dir"/extract/*/drivers/gpio/gpio-sim.c "$dir"/extract/*/drivers/gpio/gpiolib.h "$dir/mod/"
    local objs="gpio-sim.o"
    if grep -qw irq_domain_create_sim "$build_dir/Module.symvers" 2>/dev/null; then
        say "kernel exports the interrupt simulator; using it"
    else
        cp "$dir"/extract/*/kernel/irq/irq_sim.c "$dir/mod/"
        sed -i 's/handle_simple_irq(irq_to_desc(irqnum));/generic_handle_irq(irqnum);/' \
            "$dir/mod/irq_sim.c"
        grep -q 'generic_handle_irq(irqnum);' "$dir/mod/irq_sim.c" ||
            die "irq_sim.c of $tarball no longer matches the lane's patch"
        objs="$objs irq_sim.o"
    fi
    rm -rf "$dir/extract"
    printf 'obj-m += gpio-sim-mod.o\ngpio-sim-mod-y := %s\n' "$objs" > "$dir/mod/Kbuild"
    make -C "$build_dir" M="$dir/mod" "${kbuild_args[@]}" -j2 modules > "$dir/build.log" 2>&1 || {
        tail -n 40 "$dir/build.log" >&2
        die "gpio-sim module build failed (log: $dir/build.log)"
    }
    cp "$dir/mod/gpio-sim-mod.ko" "$dir/gpio-sim-mod.ko"
    echo "$stamp" > "$dir/stamp"
}

# Module files in load order (dependencies first), one path a line.
resolve_modules() {
    local kver=$1 module deps=""
    for module in "${guest_modules[@]}"; do
        deps+=$(modprobe -d "$kernel_root" -S "$kver" --show-depends "$module") || {
            [ "$module" != kvaser_pci ] || die "module kvaser_pci not found for kernel $kver (LANE_CAN=vcan runs without the CAN controllers)"
            die "module $module not found for kernel $kver"
        }
        deps+=$'\n'
    done
    awk '$1 == "insmod" && !seen[$2]++ { print $2 }' <<< "$deps"
}

copy_module() {
    local src=$1 dest_dir=$2 name
    name=$(basename "$src")
    case "$src" in
        *.ko) cp "$src" "$dest_dir/$name" ;;
        *.ko.xz) name=${name%.xz}; xz -dc "$src" > "$dest_dir/$name" ;;
        *.ko.zst) name=${name%.zst}; zstd -qdc "$src" > "$dest_dir/$name" ;;
        *.ko.gz) name=${name%.gz}; gzip -dc "$src" > "$dest_dir/$name" ;;
        *) die "unknown module file type: $src" ;;
    esac
    echo "$name"
}

# Busybox, the lane's init, the guest modules and gpio-sim, as a cpio archive.
build_initramfs() {
    local kver=$1 out=$2 gpio_sim_ko=$3 modules stamp root path name
    modules=$(resolve_modules "$kver") || exit 125
    [ -n "$modules" ] || die "could not resolve the guest modules"
    stamp=$( { echo "recipe=$initramfs_recipe kernel=$kver"; echo "$modules";
               sha256sum "$lane_dir/guest/init" "$busybox" "$gpio_sim_ko"; } | sha256sum)
    if [ -f "$out" ] && [ "$(cat "$out.stamp" 2>/dev/null)" = "$stamp" ]; then
        return
    fi
    say "building the initramfs for $kver"
    root=$out.d
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,modules}
    cp "$busybox" "$root/bin/busybox"
    cp "$lane_dir/guest/init" "$root/init"
    chmod 0755 "$root/init"
    : > "$root/modules/order"
    while read -r path; do
        name=$(copy_module "$path" "$root/modules")
        echo "$name" >> "$root/modules/order"
        # gpio-sim needs configfs, so it goes in right after it.
        if [ "$name" = configfs.ko ]; then
            cp "$gpio_sim_ko" "$root/modules/gpio-sim-mod.ko"
            echo gpio-sim-mod.ko >> "$root/modules/order"
        fi
    done <<< "$modules"
    grep -qx gpio-sim-mod.ko "$root/modules/order" || die "configfs missing from the module list"
    (cd "$root" && find . -print0 | sort -z | cpio --null -o -H newc --quiet) > "$out.tmp"
    mv "$out.tmp" "$out"
    rm -rf "$root"
    echo "$stamp" > "$out.stamp"
}

# The command and the LANE_*/DIAG_* environment, as a script the guest runs.
write_command_script() {
    local script=$1
    shift
    {
        echo "# generated by run-in-vm.sh"
        export -p | grep -E '^declare -x (LANE_|DIAG_)' | grep -v '^declare -x LANE_OUT=' || true
        printf 'cd %q || exit 125\n' "$PWD"
        printf 'exec'
        printf ' %q' "$@"
        printf '\n'
    } > "$script"
}

# Keeps the newest runs only.
prune_old_runs() {
    local old
    for old in $(ls -1dt "$work"/runs/run.* 2>/dev/null | tail -n +11); do
        rm -rf "$old"
    done
}

boot_vm() {
    local kver=$1 initramfs=$2 run_dir=$3 console=$3/console.log rc=0
    local append="console=$guest_console panic=-1 quiet ${kernel_args[*]} lane.can=$can_mode"
    append+=" lane.boot=$lane_dir/guest/boot.sh lane.cmd=$run_dir/cmd.sh"
    case "${LANE_INIT:-busybox}" in
        busybox) ;;
        systemd) append+=" lane.init=systemd systemd.show_status=false" ;;
        *) die "LANE_INIT must be busybox or systemd, not $LANE_INIT" ;;
    esac
    local qemu=("$qemu_system" -accel tcg "${qemu_machine[@]}" -smp "$smp" -m "$mem"
        -nodefaults -no-user-config -nographic -no-reboot -serial stdio "${can_devices[@]}"
        -kernel "$kernel_root/boot/vmlinuz-$kver" -initrd "$initramfs" -append "$append"
        -fsdev "local,id=hostroot,path=$guest_root,security_model=none,readonly=on,multidevs=remap"
        -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot
        -fsdev "local,id=laneout,path=$run_dir/out,security_model=none,multidevs=remap"
        -device virtio-9p-pci,fsdev=laneout,mount_tag=laneout)
    if [ "${LANE_VERBOSE:-0}" = 1 ]; then
        timeout -k 10 "$timeout_s" "${qemu[@]}" < /dev/null 2>&1 | tee "$console" >&2 ||
            rc=${PIPESTATUS[0]}
    else
        timeout -k 10 "$timeout_s" "${qemu[@]}" < /dev/null > "$console" 2>&1 || rc=$?
    fi
    return $rc
}

guest_status() {
    local run_dir=$1 status
    status=$(cat "$run_dir/out/status" 2>/dev/null || true)
    if [ -z "$status" ]; then
        status=$(tr -d '\r' < "$run_dir/console.log" |
                 sed -n 's/.*@@LANE-STATUS \([0-9]*\)@@.*/\1/p' | tail -n 1)
    fi
    echo "$status"
}

# Prints what the command wrote to the guest console; fails when it never ran.
show_command_output() {
    local console=$1
    grep -q '^@@LANE-COMMAND@@' <(tr -d '\r' < "$console") || return 1
    tr -d '\r' < "$console" |
        sed -n '/^@@LANE-COMMAND@@/,/^@@LANE-STATUS/{/^@@LANE-COMMAND@@/d;/^@@LANE-STATUS/d;p}'
}

main() {
    require_tools
    check_path_has_no_spaces "$lane_dir"
    mkdir -p "$work/runs"
    work=$(cd "$work" && pwd)
    check_path_has_no_spaces "$work"

    local kver t0 t1 t2 initramfs run_dir qemu_rc=0 status
    kver=$(pick_kernel)
    [ -f "$kernel_root/boot/vmlinuz-$kver" ] || die "$kernel_root/boot/vmlinuz-$kver missing"
    initramfs=$work/initramfs-$kver-$can_mode.cpio

    t0=$(now)
    {
        # Parallel lanes share the caches: build them one at a time.
        flock 9
        build_gpio_sim "$kver"
        build_initramfs "$kver" "$initramfs" "$work/gpio-sim/$kver/gpio-sim-mod.ko"
        prune_old_runs
    } 9> "$work/.lock"
    t1=$(now)

    run_dir=$(mktemp -d "$work/runs/run.XXXXXX")
    mkdir -p "$run_dir/out"
    write_command_script "$run_dir/cmd.sh" "$@"
    say "kernel $kver, CAN: $can_mode, prepared in $((t1 - t0)) s; booting (log: $run_dir/console.log)"

    boot_vm "$kver" "$initramfs" "$run_dir" || qemu_rc=$?
    t2=$(now)
    status=$(guest_status "$run_dir")
    if [ -z "$status" ]; then
        if [ "$qemu_rc" = 124 ] || [ "$qemu_rc" = 137 ]; then
            say "VM timed out after ${timeout_s} s"
            status=124
        else
            say "VM ended without a status (qemu exit $qemu_rc)"
            status=125
        fi
    fi
    if [ "${LANE_VERBOSE:-0}" != 1 ]; then
        show_command_output "$run_dir/console.log" || {
            say "the command did not start; last lines of the guest console:"
            tail -n 60 "$run_dir/console.log" | tr -d '\r' >&2
        }
    fi
    local boot_s
    boot_s=$(tr -d '\r' < "$run_dir/console.log" |
             sed -n 's/^lane-boot: \[\([0-9.]*\) s\] ready.*/\1/p' | head -n 1)
    say "VM ran $((t2 - t1)) s (guest ready after ${boot_s:-?} s of guest uptime), command status $status"
    say "results: $run_dir/out"
    return "$status"
}

main "$@"
