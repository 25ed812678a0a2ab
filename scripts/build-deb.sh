#!/usr/bin/env bash
# Builds the Debian packages (diag-gateway for the board, diag-gateway-tools
# with the simulation) and checks them with lintian.
#
#   scripts/build-deb.sh            this machine's architecture; source package too
#   scripts/build-deb.sh arm64      cross build for arm64 boards
#   DEB_BUILD_OPTIONS=nocheck ...   without running the test suite in the build
#
# Needs SETUP_PACKAGING=1 scripts/setup.sh (and SETUP_ARM64=1 for arm64). The
# packages are built from a copy of the checkout's tracked files (as they are
# in the working tree) under build-deb/<arch>/, where the results end up:
# build-deb/<arch>/diag-gateway_<version>_<arch>.deb and so on. lintian must
# report no error and no warning.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build_arch=$(dpkg --print-architecture)
host_arch=${1:-$build_arch}
out=$here/build-deb/$host_arch
source_name=$(dpkg-parsechangelog -l "$here/debian/changelog" -S Source)
version=$(dpkg-parsechangelog -l "$here/debian/changelog" -S Version)
tree=$out/src/$source_name-$version

fail() { echo "build-deb: $*" >&2; exit 1; }
command -v dpkg-buildpackage >/dev/null && command -v dh >/dev/null && command -v lintian >/dev/null &&
    command -v git >/dev/null ||
    fail "debhelper, dpkg-dev, lintian and git needed (SETUP_PACKAGING=1 scripts/setup.sh)"

rm -rf "$out"
mkdir -p "$tree"
git -C "$here" ls-files -z --cached |
    (cd "$here" && xargs -0 tar -cf - --no-recursion) | tar -xf - -C "$tree"

args=(-us -uc --jobs=2)
if [ "$host_arch" = "$build_arch" ]; then
    args+=(-F) # source and binary packages
else
    # Tests cannot run in a cross build; the arm64 suite runs under qemu
    # (scripts/test-arm64.sh).
    args+=(-b -a "$host_arch" -Pcross,nocheck)
    export DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}"
fi
(cd "$tree" && dpkg-buildpackage "${args[@]}") > "$out/build.log" 2>&1 || {
    tail -n 40 "$out/build.log" >&2
    fail "dpkg-buildpackage failed (log: $out/build.log)"
}
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out/"
mv "$out"/src/*.dsc "$out"/src/*.tar.* "$out/" 2>/dev/null || true
if grep -E ': (warning|error): ' "$out/build.log" | grep -vE '^dpkg-(source|buildpackage|genchanges|architecture)'; then
    fail "the build printed warnings (log: $out/build.log)"
fi

changes=$(ls "$out"/*.changes)
echo "build-deb: built $(cd "$out" && ls ./*.deb | tr '\n' ' ')"
lintian --fail-on error,warning --display-info "$changes" | tee "$out/lintian.log" ||
    fail "lintian found errors or warnings (log: $out/lintian.log)"
echo "build-deb: lintian: $(grep -c '^[EW]:' "$out/lintian.log") errors and warnings, $(grep -c '^I:' "$out/lintian.log") notes"
