#!/usr/bin/env bash
# The kernel lane: boots Debian's kernel in qemu with real SocketCAN and
# simulated GPIO chips and runs the lane scenarios there, all in one VM.
#
#   tests/kernel-lane/run-lane.sh [SCENARIO...]   (default: all of scenarios/)
#
# Scenarios that run the daemon use the board build from $LANE_BUILD_DIR
# (default <repo>/build: diag-gateway and ecu-sim). Exit status 0 when every
# scenario passed and every message the daemon published in them (each
# scenario's responses.log) matches doc/asyncapi.yaml. See run-in-vm.sh for the VM's settings (LANE_WORK,
# LANE_TIMEOUT, LANE_VERBOSE, ...). LANE_CC and LANE_PKG_CONFIG build the GPIO
# probe for another guest architecture.
set -euo pipefail

lane_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$lane_dir/../.." && pwd)
export LANE_WORK=${LANE_WORK:-$repo/build-lane}
export LANE_BUILD_DIR=${LANE_BUILD_DIR:-$repo/build}
export LANE_PROBES=$LANE_WORK/probes
# All scenarios in one VM: allow for a slow, shared machine.
export LANE_TIMEOUT=${LANE_TIMEOUT:-1200}

say() { echo "lane: $*" >&2; }

build_probes() {
    mkdir -p "$LANE_PROBES"
    local src=$lane_dir/probes/gpio_probe.c bin=$LANE_PROBES/gpio_probe
    if [ ! -x "$bin" ] || [ "$src" -nt "$bin" ]; then
        # shellcheck disable=SC2046
        "${LANE_CC:-cc}" -std=c11 -O1 -Wall -Wextra -o "$bin" "$src" \
            $("${LANE_PKG_CONFIG:-pkg-config}" --cflags --libs libgpiod) || {
            say "ERROR: cannot build $bin (libgpiod v2 development files needed)"
            exit 125
        }
    fi
}

start=$(date +%s)
build_probes
output=$(mktemp)
trap 'rm -f "$output"' EXIT
status=0
"$lane_dir/run-in-vm.sh" bash "$lane_dir/guest/run-scenarios.sh" "$@" 2>&1 | tee "$output" ||
    status=${PIPESTATUS[0]}
# On the host, from the folder the VM shared: the API check of the traffic.
results=$(sed -n 's/^lane: results: //p' "$output" | tail -n 1)
recordings=()
[ -z "$results" ] || mapfile -t recordings < <(find "$results" -name responses.log | sort)
if [ "${#recordings[@]}" -gt 0 ]; then
    /usr/bin/python3 "$repo/tools/api/check_messages.py" --allow-empty "${recordings[@]}" || status=1
fi
say "lane finished in $(($(date +%s) - start)) s with status $status"
# The scenario count again as the very last line, for whoever reads the end of the log.
summary=$(grep -E '^lane: [0-9]+ passed, [0-9]+ failed$' "$output" | tail -n 1 || true)
[ -z "$summary" ] || echo "$summary"
exit "$status"
