#!/usr/bin/env bash
# Cross-builds the project for arm64 into build-arm64/ and runs the whole test
# suite there under qemu user-mode emulation. Needs SETUP_ARM64=1 scripts/setup.sh.
#
#   scripts/test-arm64.sh              build-arm64/, RelWithDebInfo
#   scripts/test-arm64.sh -R Isotp     extra arguments go to ctest
#
# ctest starts each test program through qemu (the toolchain file names it);
# the daemon and the simulator that the tests start in turn are arm64 programs
# too, so the kernel must hand arm64 binaries to qemu by itself: this registers
# qemu for arm64 with binfmt_misc when it is not registered yet (root needed
# once per boot; systemd-binfmt does it at boot where systemd runs).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
binfmt=/proc/sys/fs/binfmt_misc
rule=/usr/lib/binfmt.d/qemu-aarch64.conf

fail() { echo "test-arm64: $*" >&2; exit 1; }

register_qemu_binfmt() {
    [ -e "$binfmt/qemu-aarch64" ] && return 0
    [ -f "$rule" ] || fail "$rule missing (install qemu-user-static: SETUP_ARM64=1 scripts/setup.sh)"
    if [ ! -e "$binfmt/register" ]; then
        $sudo mount -t binfmt_misc binfmt_misc "$binfmt" ||
            fail "cannot mount binfmt_misc; the tests cannot start arm64 child programs here"
    fi
    grep -v '^#' "$rule" | $sudo tee "$binfmt/register" >/dev/null ||
        fail "cannot register qemu-aarch64 with binfmt_misc"
    echo "test-arm64: registered $(sed -n 's/^interpreter //p' "$binfmt/qemu-aarch64") for arm64 binaries"
}

register_qemu_binfmt
grep -qx enabled "$binfmt/qemu-aarch64" || fail "qemu-aarch64 is registered but disabled in $binfmt"
# Emulation makes every thread several times slower and its timing uneven: a
# test whose peer thread must answer within the daemon's 100 ms frame wait can
# miss it once. A test that fails twice fails the run.
BUILD_DIR=${BUILD_DIR:-build-arm64} \
CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$here/cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo" \
    exec "$here/scripts/test.sh" --repeat until-pass:2 "$@"
