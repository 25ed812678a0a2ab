#!/usr/bin/env bash
# The kernel lane's scenarios with the arm64 board build, on Debian's arm64
# kernel under qemu-system-aarch64 (TCG).
#
#   tests/kernel-lane/arm64/run-arm64-lane.sh [SCENARIO...]
#
# Prepares under $LANE_WORK (default <repo>/build-lane/arm64), once, and keeps:
#   - Debian's arm64 kernel packages (image and headers) of the same ABI as
#     the machine's 6.1 kernel, unpacked, with the module index made and the
#     headers using the machine's own kbuild tools, so that gpio-sim is
#     cross-built for that kernel the way the amd64 lane builds it;
#   - busybox-static:arm64 for the lane's initramfs;
#   - an arm64 Debian root (mmdebstrap, about 150 MB) with what the scenarios
#     use: bash, python3, mosquitto and its clients, can-utils, iproute2 and
#     the daemon's libraries.
# The checkout is bound into that root at its own path for the run (and
# unbound after), so the scenarios find the lane and the build where they
# expect them. Uses $LANE_BUILD_DIR (default <repo>/build-arm64: the arm64
# diag-gateway and ecu-sim). Needs SETUP_KERNEL_LANE=1 SETUP_ARM64=1
# SETUP_ARM64_LANE=1 scripts/setup.sh, root, and the network for the first run.
set -euo pipefail

lane_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
repo=$(cd "$lane_dir/../.." && pwd)
export LANE_WORK=${LANE_WORK:-$repo/build-lane/arm64}
export LANE_BUILD_DIR=${LANE_BUILD_DIR:-$repo/build-arm64}
cache=$LANE_WORK/cache

say() { echo "arm64-lane: $*" >&2; }
die() { say "ERROR: $*"; exit 125; }

[ "$(id -u)" -eq 0 ] || die "run as root (it binds the checkout into the guest root)"
for tool in qemu-system-aarch64 mmdebstrap aarch64-linux-gnu-gcc depmod; do
    command -v "$tool" >/dev/null || die "$tool missing (SETUP_ARM64=1 SETUP_ARM64_LANE=1 scripts/setup.sh)"
done
for binary in diag-gateway ecu-sim; do
    file -L "$LANE_BUILD_DIR/$binary" 2>/dev/null | grep -q 'ARM aarch64' ||
        die "$LANE_BUILD_DIR/$binary is no arm64 build (scripts/test-arm64.sh builds build-arm64/)"
done

# The ABI of the newest 6.1 kernel of the machine, e.g. 6.1.0-57.
host_image=$(ls -1 /boot/vmlinuz-6.1.*-amd64 2>/dev/null | sort -V | tail -n 1)
[ -n "$host_image" ] || die "no 6.1 kernel in /boot (install linux-image-amd64)"
abi=${host_image#/boot/vmlinuz-}
abi=${abi%-amd64}
kver=$abi-arm64

# download PACKAGE... into $cache/debs (apt's own client, arm64 multiarch lists).
download() {
    mkdir -p "$cache/debs"
    (cd "$cache/debs" && apt-get download -q -o APT::Sandbox::User=root "$@") >&2 ||
        die "cannot download $*"
}

prepare_kernel() {
    local root=$cache/kernel-$kver deb
    [ -f "$root/.ready" ] && return
    say "unpacking Debian's arm64 kernel $kver"
    rm -rf "$root"
    mkdir -p "$root"
    download "linux-image-$kver:arm64" "linux-headers-$kver:arm64"
    for deb in "$cache"/debs/linux-image-"$kver"_*_arm64.deb "$cache"/debs/linux-headers-"$kver"_*_arm64.deb; do
        dpkg-deb -x "$deb" "$root"
    done
    [ -f "/usr/src/linux-headers-$abi-common/Makefile" ] ||
        die "linux-headers-$abi-common missing (the amd64 headers of the same ABI bring it)"
    # The headers use the kbuild tools of the machine building the module.
    mkdir -p "$root/usr/lib"
    ln -sfn /usr/lib/linux-kbuild-6.1 "$root/usr/lib/linux-kbuild-6.1"
    ln -sfn "../../../usr/src/linux-headers-$kver" "$root/lib/modules/$kver/build"
    depmod -b "$root" "$kver"
    touch "$root/.ready"
}

prepare_busybox() {
    local dir=$cache/busybox
    [ -x "$dir/bin/busybox" ] && return
    download busybox-static:arm64
    rm -rf "$dir"
    dpkg-deb -x "$(ls "$cache"/debs/busybox-static_*_arm64.deb | tail -n 1)" "$dir"
}

# Bump to rebuild the guest root.
readonly root_recipe=1
readonly root_packages=bash,mount,python3,mosquitto,mosquitto-clients,can-utils,iproute2,kmod,procps,util-linux,mawk,libcjson1,libpaho-mqtt1.3,libgpiod3,libsystemd0,libstdc++6
prepare_guest_root() {
    local root=$cache/root stamp="recipe=$root_recipe packages=$root_packages"
    [ "$(cat "$cache/root.stamp" 2>/dev/null)" = "$stamp" ] && return
    say "building the arm64 guest root with mmdebstrap (once)"
    rm -rf "$root"
    # Its packages' scripts run arm64 programs: through qemu, by binfmt_misc.
    "$repo/scripts/arm64-binfmt.sh" >&2 || die "arm64 programs cannot run here"
    # libgpiod v2 comes from bookworm-backports, as on an amd64 machine.
    mmdebstrap --quiet --arch=arm64 --variant=essential --mode=root --include="$root_packages" \
        bookworm "$root" \
        "deb http://deb.debian.org/debian bookworm main" \
        "deb http://deb.debian.org/debian bookworm-backports main" >&2 ||
        die "mmdebstrap failed"
    echo "$stamp" > "$cache/root.stamp"
}

mkdir -p "$cache"
prepare_kernel
prepare_busybox
prepare_guest_root

guest_root=$cache/root
mkdir -p "$guest_root$repo"
mount --bind "$repo" "$guest_root$repo"
trap 'umount "$guest_root$repo"' EXIT

LANE_ARCH=arm64 LANE_KERNEL_ROOT=$cache/kernel-$kver LANE_GUEST_ROOT=$guest_root \
LANE_BUSYBOX=$cache/busybox/bin/busybox LANE_KERNEL=$kver \
LANE_CC=aarch64-linux-gnu-gcc LANE_PKG_CONFIG=aarch64-linux-gnu-pkg-config \
    "$lane_dir/run-lane.sh" "$@"
