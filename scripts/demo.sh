#!/usr/bin/env bash
# Shows the daemon (host simulation build) on its MQTT link: starts a local
# mosquitto on 127.0.0.1:1883 unless one already listens there, runs
# build/diag-gateway-sim for a few seconds, sends it one UI command and prints
# what went over the broker.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
sim=$here/build/diag-gateway-sim
if [ ! -x "$sim" ]; then
    echo "demo: $sim is not built yet; run scripts/setup.sh first" >&2
    exit 1
fi

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

listening() { (exec 3<>/dev/tcp/127.0.0.1/1883) 2>/dev/null; }
wait_for() { # wait_for SECONDS COMMAND...
    local tries=$(($1 * 10)); shift
    for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
    return 1
}

if ! listening; then
    echo "-- starting mosquitto on 127.0.0.1:1883"
    printf 'listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\n' >"$work/mosquitto.conf"
    /usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
    pids+=($!)
    wait_for 10 listening || { echo "demo: mosquitto did not start" >&2; exit 1; }
fi

# The UI's side: everything the daemon answers.
mosquitto_sub -h 127.0.0.1 -p 1883 -t dt/app_to_ui/resp -v >"$work/ui.log" &
pids+=($!)

mkdir -p "$work/configs/default_config"
cat >"$work/configs/config.json" <<'JSON'
{ "can_port": { "padding": 170, "BR": 500000 },
  "live_page": { "sensors": [ { "name": "ENGRPM", "show": 1 }, { "name": "SPD", "show": 1 } ] },
  "show_dtc": { "STRDTC": 1, "PNDDTC": 1, "PRMDTC": 1 } }
JSON
cp "$work/configs/config.json" "$work/configs/default_config/default_config.json"

echo "-- starting the daemon (no vehicle attached)"
DIAG_GW_CONFIG_DIR=$work/configs DIAG_GW_CAN_SOCKET=$work/ecu.sock \
    DIAG_GW_BROKER=tcp://127.0.0.1:1883 "$sim" >"$work/daemon.log" 2>&1 &
pids+=($!)
connected() { grep -q "successfully Subscribed topics" "$work/daemon.log"; }
wait_for 15 connected || { echo "demo: the daemon did not connect"; cat "$work/daemon.log"; exit 1; }

echo '-- UI sends {"TYP":1,"CMD":1} (read trouble codes) on dt/ui_to_app/cmd'
mosquitto_pub -h 127.0.0.1 -p 1883 -q 1 -t dt/ui_to_app/cmd -m '{"TYP":1,"CMD":1}'
answered() { grep -q '"CMD":1' "$work/ui.log"; }
wait_for 15 answered || true
sleep 1

echo
echo "-- daemon log, MQTT lines:"
grep -E "INTR_MQTT|INTER_MQTT|topic list" "$work/daemon.log" | head -n 20 || true
echo
echo "-- what the UI received on dt/app_to_ui/resp:"
cat "$work/ui.log"
