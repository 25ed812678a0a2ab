#!/usr/bin/env bash
# Lets the kernel hand arm64 binaries to qemu by itself (binfmt_misc), for
# programs started as children under user-mode emulation and for building an
# arm64 root. Registers qemu-aarch64 when it is not registered yet (root needed
# once per boot; systemd-binfmt does it at boot where systemd runs).
set -euo pipefail

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
binfmt=/proc/sys/fs/binfmt_misc
rule=/usr/lib/binfmt.d/qemu-aarch64.conf

fail() { echo "arm64-binfmt: $*" >&2; exit 1; }

if [ ! -e "$binfmt/qemu-aarch64" ]; then
    [ -f "$rule" ] || fail "$rule missing (install qemu-user-static: SETUP_ARM64=1 scripts/setup.sh)"
    if [ ! -e "$binfmt/register" ]; then
        $sudo mount -t binfmt_misc binfmt_misc "$binfmt" ||
            fail "cannot mount binfmt_misc; arm64 programs cannot be started here"
    fi
    grep -v '^#' "$rule" | $sudo tee "$binfmt/register" >/dev/null ||
        fail "cannot register qemu-aarch64 with binfmt_misc"
    echo "arm64-binfmt: registered $(sed -n 's/^interpreter //p' "$binfmt/qemu-aarch64") for arm64 binaries"
fi
grep -qx enabled "$binfmt/qemu-aarch64" || fail "qemu-aarch64 is registered but disabled in $binfmt"
