#!/usr/bin/env bash
# Installs every Debian package the project needs on a fresh Debian 12
# (bookworm) machine and builds the project into ./build.
#
#   scripts/setup.sh            install packages + build
#   scripts/setup.sh --no-build install packages only
#   SETUP_KERNEL_LANE=1 ...     also install what the kernel lane needs
#   SETUP_FUZZ=1 ...            also clang and its libFuzzer runtime (tests/fuzz)
#   SETUP_SOAK=1 ...            also the soak's Python MQTT client and plotting (bench/soak.sh)
#   SETUP_API=1 ...             also what checks the MQTT API document and recorded traffic
#                               (Debian's python3-jsonschema, node and npm, and the AsyncAPI
#                               parser from npm into tools/api/node_modules)
#   SETUP_PACKAGING=1 ...       also install the Debian packaging tools and what the
#                               install lane needs (sudo, systemd and udev for its VM)
#   SETUP_ARM64=1 ...           also install the arm64 cross toolchain, the arm64
#                               libraries (multiarch) and qemu user-mode emulation
#   SETUP_ARM64_LANE=1 ...      also install what the arm64 kernel lane needs
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# libgpiod v2 is only in bookworm-backports; bookworm itself ships v1.
add_backports() {
    if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
        echo "setup: adding bookworm-backports (for libgpiod v2)"
        $sudo tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    fi
}

packages=(
    build-essential cmake pkg-config
    libcjson-dev libpaho-mqtt-dev libsystemd-dev
    libgtest-dev googletest
    mosquitto mosquitto-clients
    python3 procps iproute2
)
backport_packages=(libgpiod-dev libgpiod3)
# The recorded traffic of the lane, the soak and the demo is checked against
# doc/asyncapi.yaml with Debian's jsonschema (tools/api/check_messages.py).
api_check_packages=(python3-jsonschema python3-yaml)
lane_packages=(qemu-system-x86 busybox-static linux-image-amd64 linux-headers-amd64 can-utils kmod cpio
               linux-source-6.1 xz-utils "${api_check_packages[@]}")
fuzz_packages=(clang libclang-rt-14-dev)
soak_packages=(python3-paho-mqtt python3-matplotlib "${api_check_packages[@]}")
# git: the package's source tree is the files git tracks (scripts/build-deb.sh).
packaging_packages=(debhelper lintian dpkg-dev git sudo systemd udev)
# The arm64 build's libraries come from the same archive as the amd64 ones
# (multiarch); the test suite runs on them under qemu-user.
arm64_packages=(crossbuild-essential-arm64 pkgconf:arm64
                libcjson-dev:arm64 libpaho-mqtt-dev:arm64 libsystemd-dev:arm64 libgtest-dev:arm64
                qemu-user-static)
arm64_backport_packages=(libgpiod-dev:arm64 libgpiod3:arm64)
arm64_lane_packages=(qemu-system-arm mmdebstrap arch-test file)

add_backports
want_arm64=${SETUP_ARM64:-0}
[ "${SETUP_ARM64_LANE:-0}" = 1 ] && want_arm64=1
if [ "$want_arm64" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "setup: adding the arm64 architecture (multiarch)"
    $sudo dpkg --add-architecture arm64
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${packages[@]}"
$sudo apt-get install -y -q --no-install-recommends -t bookworm-backports "${backport_packages[@]}"
if [ "${SETUP_KERNEL_LANE:-0}" = 1 ]; then
    $sudo apt-get install -y -q --no-install-recommends "${lane_packages[@]}"
fi
if [ "${SETUP_FUZZ:-0}" = 1 ]; then
    $sudo apt-get install -y -q --no-install-recommends "${fuzz_packages[@]}"
fi
if [ "${SETUP_SOAK:-0}" = 1 ]; then
    $sudo apt-get install -y -q --no-install-recommends "${soak_packages[@]}"
fi
if [ "${SETUP_API:-0}" = 1 ]; then
    $sudo apt-get install -y -q --no-install-recommends "${api_check_packages[@]}"
    # A node that came from elsewhere brings its own npm; Debian's would clash with it.
    command -v npm >/dev/null || $sudo apt-get install -y -q --no-install-recommends nodejs npm
    # The versions locked in package-lock.json; no package's install scripts run.
    npm ci --prefix "$here/tools/api" --ignore-scripts --no-audit --no-fund
fi
if [ "${SETUP_PACKAGING:-0}" = 1 ]; then
    $sudo apt-get install -y -q --no-install-recommends "${packaging_packages[@]}"
fi
if [ "$want_arm64" = 1 ]; then
    $sudo apt-get install -y -q --no-install-recommends "${arm64_packages[@]}"
    $sudo apt-get install -y -q --no-install-recommends -t bookworm-backports \
        "${arm64_backport_packages[@]}"
fi
if [ "${SETUP_ARM64_LANE:-0}" = 1 ]; then
    $sudo apt-get install -y -q --no-install-recommends "${arm64_lane_packages[@]}"
fi

# The broker is started by our own scripts on 127.0.0.1; keep the packaged
# service from grabbing the port on machines where services auto-start.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet mosquitto 2>/dev/null; then
    $sudo systemctl stop mosquitto || true
fi

if [ "${1:-}" != "--no-build" ]; then
    cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$here/build" -j"$(nproc)"
fi
