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

entry=$binfmt/qemu-aarch64

# Where binfmt_misc is not mounted yet (a container, a chroot), the kernel may
# still hold the entry from an earlier registration: mount first, then look.
if [ ! -e "$binfmt/register" ]; then
    $sudo mount -t binfmt_misc binfmt_misc "$binfmt" ||
        fail "cannot mount binfmt_misc; arm64 programs cannot be started here"
fi
if [ ! -e "$entry" ]; then
    [ -f "$rule" ] || fail "$rule missing (install qemu-user-static: SETUP_ARM64=1 scripts/setup.sh)"
    # Registering refuses a name that exists: another registrar may have won.
    grep -v '^#' "$rule" | $sudo tee "$binfmt/register" >/dev/null 2>&1 || [ -e "$entry" ] ||
        fail "cannot register qemu-aarch64 with binfmt_misc"
    echo "arm64-binfmt: registered $(sed -n 's/^interpreter //p' "$entry") for arm64 binaries"
fi
grep -qx enabled "$entry" || fail "qemu-aarch64 is registered but disabled in $binfmt"
