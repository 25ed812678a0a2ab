#!/usr/bin/env bash
# A short, readable tour of the gateway in its host simulation: a local
# broker, the ECU simulator playing a vehicle, the daemon, and a UI session
# over MQTT (start-up status words, trouble codes, readiness monitors, the
# freeze frame, live data, clearing, relays). Run scripts/setup.sh first; then:
#
#   scripts/demo.sh                       the demo vehicle
#   DEMO_VEHICLE=configs/vehicles/demo_29bit.json scripts/demo.sh
#   DIAG_BUILD_DIR=build-debug scripts/demo.sh
#   DEMO_BROKER=127.0.0.1:18830 scripts/demo.sh
#
# The broker: DEMO_BROKER, else DIAG_GW_BROKER (both HOST:PORT, tcp:// in
# front allowed), else 127.0.0.1:1883. A broker listening there is used (and
# said so: its other clients see the demo's traffic); on a loopback address
# where none listens the demo starts its own and stops it at the end.
# Everything it starts is stopped on exit, Ctrl-C included. The daemon's own
# log stays in the work folder it prints, with every message the UI got
# (messages.jsonl), which is checked against doc/asyncapi.yaml at the end
# when Debian's python3-jsonschema is installed (DEMO_CHECK_API=1: required).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${DIAG_BUILD_DIR:-$here/build}
case $build in /*) ;; *) build=$here/$build ;; esac
daemon_bin=$build/diag-gateway-sim
sim_bin=$build/ecu-sim
vehicle=${DEMO_VEHICLE:-$here/configs/vehicles/demo_petrol_11bit.json}
case $vehicle in /*) ;; *) vehicle=$here/$vehicle ;; esac
broker_from=default
broker_address=127.0.0.1:1883
if [ -n "${DEMO_BROKER:-}" ]; then
    broker_from=DEMO_BROKER broker_address=$DEMO_BROKER
elif [ -n "${DIAG_GW_BROKER:-}" ]; then
    broker_from=DIAG_GW_BROKER broker_address=$DIAG_GW_BROKER
fi
broker_address=${broker_address#tcp://}
broker_host=${broker_address%:*}
broker_port=${broker_address##*:}
[ "$broker_host" != "$broker_address" ] || broker_port=1883

fail() { echo "demo: $*" >&2; exit 1; }
for bin in "$daemon_bin" "$sim_bin"; do
    [ -x "$bin" ] || fail "$bin is not built; run scripts/setup.sh first"
done
for tool in mosquitto_pub mosquitto_sub python3; do
    command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup.sh first"
done
[ -r "$vehicle" ] || fail "no vehicle profile $vehicle"
case $broker_port in '' | *[!0-9]*) fail "$broker_from: no port in '$broker_address' (HOST:PORT)" ;; esac

work=$(mktemp -d "${TMPDIR:-/tmp}/diag-demo.XXXXXX")
events=$work/ui_events.log
recording=$work/messages.jsonl
daemon_log=$work/daemon.log
pids=() # started here, stopped in reverse order

cleanup() {
    trap - EXIT INT TERM
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -f "$work/ui.fifo" "$work/ecu.sock"
    echo
    echo "Everything the demo started is stopped. Logs kept in $work"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted"; exit 130' INT TERM

# ---- small helpers ----------------------------------------------------------------
now() { date +%H:%M:%S.%3N; }
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
note() { printf '%s  %s\n' "$(now)" "$*"; }
listening() { (exec 3<>"/dev/tcp/$broker_host/$broker_port") 2>/dev/null; }
wait_for() { # wait_for SECONDS WHAT COMMAND...: polls COMMAND until it succeeds
    local deadline=$((SECONDS + $1)) what=$2
    shift 2
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || fail "gave up waiting for $what (daemon log: $daemon_log)"
        sleep 0.1
    done
}
events_count() { grep -c -F -e "$1" "$events" 2>/dev/null || true; }
events_beyond() { [ "$(events_count "$1")" -ge "$2" ]; } # PATTERN COUNT
in_log() { grep -q -F -e "$1" "$daemon_log" 2>/dev/null; }
send() { # send JSON DESCRIPTION
    printf '%s  \033[1mUI → gateway\033[0m  %-52s \033[2m%s\033[0m\n' "$(now)" "$1" "$2"
    mosquitto_pub -h "$broker_host" -p "$broker_port" -q 1 -t dt/ui_to_app/cmd -m "$1"
}
# send_and_wait JSON DESCRIPTION PATTERN [COUNT] [SECONDS]: waits for COUNT
# more UI messages holding PATTERN
send_and_wait() {
    local before
    before=$(events_count "$3")
    send "$1" "$2"
    wait_for "${5:-30}" "$3" events_beyond "$3" $((before + ${4:-1}))
}

# ---- broker ---------------------------------------------------------------------
say "Broker"
if listening; then
    note "using the MQTT broker already listening on $broker_host:$broker_port ($broker_from); its other clients see this traffic"
else
    case $broker_host in
        127.* | localhost) ;;
        *) fail "no MQTT broker listens on $broker_host:$broker_port ($broker_from)" ;;
    esac
    printf 'listener %s %s\nallow_anonymous true\npersistence false\nlog_dest stdout\n' \
        "$broker_port" "$broker_host" >"$work/mosquitto.conf"
    /usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
    pids+=($!)
    wait_for 10 "mosquitto" listening
    note "started a private mosquitto on $broker_host:$broker_port ($broker_from; pid ${pids[-1]})"
fi

# The UI's ear: every message on the response and state topics, one line
# each. A probe topic tells when the subscription stands.
mkfifo "$work/ui.fifo"
python3 -u "$here/scripts/demo.py" ui "$events" "$recording" <"$work/ui.fifo" &
pids+=($!)
mosquitto_sub -h "$broker_host" -p "$broker_port" -q 1 -F '%j' \
    -t dt/app_to_ui/resp -t dt/app_to_ui/state -t "demo/probe/$$" >"$work/ui.fifo" &
pids+=($!)
probe_seen() {
    mosquitto_pub -h "$broker_host" -p "$broker_port" -t "demo/probe/$$" -m probe
    sleep 0.2
    grep -q '^probe$' "$events" 2>/dev/null
}
wait_for 10 "the UI subscription" probe_seen
note "UI listening on dt/app_to_ui/resp and dt/app_to_ui/state"

# ---- daemon -----------------------------------------------------------------------
say "Gateway daemon (host simulation)"
mkdir -p "$work/configs"
cp -r "$here/configs/default_config" "$work/configs/"
if [ -f "$here/configs/config.json" ]; then
    cp "$here/configs/config.json" "$work/configs/config.json"
else
    cp "$here/configs/default_config/default_config.json" "$work/configs/config.json"
fi
DIAG_GW_CONFIG_DIR=$work/configs DIAG_GW_CAN_SOCKET=$work/ecu.sock \
    DIAG_GW_BROKER=tcp://$broker_host:$broker_port "$daemon_bin" >"$daemon_log" 2>&1 &
pids+=($!)
note "started $daemon_bin (pid ${pids[-1]})"
note "config folder: $work/configs"
note "daemon log:    $daemon_log"
wait_for 20 "the daemon's MQTT link" in_log "INTR_MQTT_INFO : successfully Subscribed topics"
note "daemon connected to the broker; no vehicle on the bus yet"

python3 -u "$here/scripts/demo.py" follow "$daemon_log" &
pids+=($!)

# ---- vehicle ----------------------------------------------------------------------
say "Plugging in the vehicle: $(basename "$vehicle")"
"$sim_bin" --profile "$vehicle" --unix "$work/ecu.sock" --quiet >"$work/ecu-sim.log" 2>&1 &
pids+=($!)
note "ECU simulator started (pid ${pids[-1]}); the gateway detects and identifies it"
wait_for 60 "SAVSUC" events_beyond '"msg":"SAVSUC"' 1
wait_for 15 "a heartbeat" events_beyond '"msg":"ECU"' 1

# ---- UI session -------------------------------------------------------------------
say "Reading trouble codes"
send_and_wait '{"TYP":1,"CMD":1}' "read trouble codes" '"CMD":1,"DATA"'

say "Emissions readiness and the freeze frame of the stored code"
send_and_wait '{"TYP":1,"CMD":20}' "readiness monitors" '"CMD":20,"DATA"'
send_and_wait '{"TYP":1,"CMD":21}' "freeze frame" '"CMD":21,"DATA"'

say "Live data: three cycles, then stop"
send_and_wait '{"TYP":1,"CMD":2}' "stream live data" '"CMD":2,"DATA"' 3
send '{"TYP":1,"CMD":3}' "stop"
wait_for 10 "the stop" in_log "[DEBUG] TYP=1, CMD=3"

say "Clearing trouble codes (the ECU answers 'response pending' first)"
send_and_wait '{"TYP":1,"CMD":4}' "clear trouble codes" '"msg":"DTC_CLEARED"' 1 40
send_and_wait '{"TYP":1,"CMD":1}' "read them again" '"CMD":1,"DATA"'
send_and_wait '{"TYP":1,"CMD":20}' "readiness: every monitor runs again" '"CMD":20,"DATA"'
send_and_wait '{"TYP":1,"CMD":21}' "freeze frame: gone with the codes" '"CMD":21,"DATA"'

say "Commands with an ID: acknowledged, answered with the ID, refused when unknown"
send_and_wait '{"TYP":1,"CMD":1,"ID":"demo-1"}' "read trouble codes, ID demo-1" '"CMD":1,"ID":"demo-1","DATA"'
send_and_wait '{"TYP":1,"CMD":2,"ID":"demo-2"}' "stream live data, ID demo-2" '"CMD":2,"ID":"demo-2","DATA"' 2
send_and_wait '{"TYP":1,"CMD":3,"ID":"demo-3"}' "stop, ID demo-3" '"ID":"demo-3","DATA":{"msg":"DONE"}'
send_and_wait '{"TYP":1,"CMD":5,"ID":"demo-4"}' "an unknown command, ID demo-4" '"msg":"NAK","why":"unknown command"'

say "Relays"
send '{"TYP":2,"DATA":{"params":{"DO":{"DO0":1,"DO5":1}}}}' "relays 0 and 5 on"
wait_for 10 "relay 5 on" in_log "DO_INFO : relay 5 ON"
sleep 0.5 # the log follower polls
send '{"TYP":2,"DATA":{"params":{"DO":{"DO0":0}}}}' "relay 0 off"
wait_for 10 "relay 0 off" in_log "DO_INFO : relay 0 OFF"
sleep 0.5

say "API check"
# Debian's interpreter: python3-jsonschema is installed for it.
if /usr/bin/python3 -c 'import jsonschema, yaml' 2>/dev/null; then
    /usr/bin/python3 "$here/tools/api/check_messages.py" "$recording" ||
        fail "a message of the demo does not match doc/asyncapi.yaml (recording: $recording)"
elif [ "${DEMO_CHECK_API:-0}" = 1 ]; then
    fail "python3-jsonschema and python3-yaml are needed for the API check (SETUP_API=1 scripts/setup.sh)"
else
    note "skipped: python3-jsonschema is not installed (SETUP_API=1 scripts/setup.sh)"
fi

say "Done"
note "heartbeats continue every ~4 s while idle; see $daemon_log for the full log"
