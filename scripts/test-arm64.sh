#!/usr/bin/env bash
# Cross-builds the project for arm64 into build-arm64/ and runs the whole test
# suite there under qemu user-mode emulation. Needs SETUP_ARM64=1 scripts/setup.sh.
#
#   scripts/test-arm64.sh              build-arm64/, RelWithDebInfo
#   scripts/test-arm64.sh -R Isotp     extra arguments go to ctest
#
# ctest starts each test program through qemu (the toolchain file names it);
# the daemon and the simulator that the tests start in turn are arm64 programs
# too, so the kernel must hand arm64 binaries to qemu by itself
# (scripts/arm64-binfmt.sh).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/arm64-binfmt.sh"
# Emulation makes every thread several times slower and its timing uneven: a
# test whose peer thread must answer within the daemon's 100 ms frame wait can
# miss it once. A test that fails twice fails the run.
BUILD_DIR=${BUILD_DIR:-build-arm64} \
CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$here/cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo" \
    exec "$here/scripts/test.sh" --repeat until-pass:2 "$@"
