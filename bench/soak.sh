#!/usr/bin/env bash
# Soak of the host-simulation daemon: hours of UI traffic with the broker and
# the ECU failing underneath it (not a test; a 5-minute run is a CI stage).
#
#   bench/soak.sh                      one hour, build/, figures in build/soak-<time>/
#   SOAK_MINUTES=5 bench/soak.sh       CI's run
#   SOAK_OUT=/tmp/soak SOAK_SEED=7 SOAK_BUILD_DIR=build-asan bench/soak.sh
#
# A private mosquitto is killed with SIGKILL and restarted every 30 s; the
# UI reads and clears trouble codes, streams live data, reloads the
# configuration, switches relays at random moments and unplugs the ECU
# simulator now and then. Ends with summary.json, events.jsonl,
# messages.jsonl, samples.csv and soak.png; fails on a lost answer, a lost or
# misordered relay switch, unbounded growth of memory, descriptors or threads
# (see bench/soak.py), or a message that matches no message of
# doc/asyncapi.yaml (tools/api/check_messages.py).
# Needs python3-paho-mqtt, python3-matplotlib, python3-jsonschema and
# python3-yaml (SETUP_SOAK=1 scripts/setup.sh).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${SOAK_BUILD_DIR:-$here/build}
case $build in /*) ;; *) build=$here/$build ;; esac
out=${SOAK_OUT:-$build/soak-$(date +%Y%m%d-%H%M%S)}
for bin in "$build/diag-gateway-sim" "$build/ecu-sim" /usr/sbin/mosquitto; do
    [ -x "$bin" ] || { echo "soak: $bin is missing (scripts/setup.sh builds and installs it)" >&2; exit 1; }
done
# Debian's interpreter: the paho and matplotlib packages are installed for it.
python=/usr/bin/python3
"$python" -c 'import paho.mqtt, matplotlib, jsonschema, yaml' 2>/dev/null ||
    { echo "soak: needs python3-paho-mqtt, python3-matplotlib, python3-jsonschema and python3-yaml" \
           "(SETUP_SOAK=1 scripts/setup.sh)" >&2; exit 1; }

status=0
"$python" -u "$here/bench/soak.py" --minutes "${SOAK_MINUTES:-60}" --build "$build" --source "$here" \
    --vehicle "$here/configs/vehicles/demo_petrol_11bit.json" --out "$out" ${SOAK_SEED:+--seed "$SOAK_SEED"} ||
    status=$?
if [ -f "$out/messages.jsonl" ]; then
    "$python" "$here/tools/api/check_messages.py" "$out/messages.jsonl" || status=1
fi
exit "$status"
