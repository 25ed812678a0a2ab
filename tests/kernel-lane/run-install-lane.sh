#!/usr/bin/env bash
# The install lane: boots the lane VM with the host's systemd and udev as init
# (LANE_INIT=systemd), installs the freshly built packages there with dpkg -i
# as a board integrator would, and checks the service as it runs: its own
# user, can0 through the sudoers rule, the GPIO chips through the udev rule,
# the MQTT answers with the ECU simulator on can0, a relay line, restart,
# kill -9, an upgrade that keeps config.json, and a purge that leaves the
# system as it was. The scenarios in install-scenarios/ run in order in one VM.
#
#   tests/kernel-lane/run-install-lane.sh [SCENARIO...]
#
# Packages from $LANE_DEB_DIR (default <repo>/build-deb/<arch>, made by
# scripts/build-deb.sh). The VM needs what the package depends on (mosquitto,
# sudo) on the host already: it has no network. The rest is run-lane.sh's
# (time-out, results under build-lane/runs/, the closing summary line).
set -euo pipefail

lane_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$lane_dir/../.." && pwd)
arch=$(dpkg --print-architecture)
export LANE_WORK=${LANE_WORK:-$repo/build-lane}
export LANE_DEB_DIR=${LANE_DEB_DIR:-$repo/build-deb/$arch}
export LANE_INIT=systemd
export LANE_SCENARIO_DIR=$lane_dir/install-scenarios

say() { echo "install-lane: $*" >&2; }

for package in diag-gateway diag-gateway-tools; do
    ls "$LANE_DEB_DIR/${package}"_*_"$arch".deb >/dev/null 2>&1 || {
        say "ERROR: no $package package in $LANE_DEB_DIR (scripts/build-deb.sh builds them)"
        exit 125
    }
done
for needed in /usr/bin/sudo /usr/sbin/mosquitto /lib/systemd/systemd /bin/udevadm; do
    [ -x "$needed" ] || { say "ERROR: $needed missing (SETUP_PACKAGING=1 scripts/setup.sh)"; exit 125; }
done

# dpkg reads its whole database (thousands of small files) on every run,
# which takes minutes over the VM's 9p share under emulation; the guest gets
# it as one archive and unpacks it onto a tmpfs in its place.
mkdir -p "$LANE_WORK/install-lane"
export LANE_DPKG_DB=$LANE_WORK/install-lane/dpkg-db.tar
tar -C /var/lib -cf "$LANE_DPKG_DB" dpkg

exec "$lane_dir/run-lane.sh" "$@"
