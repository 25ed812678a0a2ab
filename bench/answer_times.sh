#!/usr/bin/env bash
# Time from each command to its final answer, for the table in README.md
# ("MQTT API"): the host-simulation daemon against the ECU simulator on a
# private mosquitto, every command sent by diag-gateway-cli (with an ID) with
# the car answering, unplugged, answering "response pending" and its final
# answer too late, and refusing or stalling a clear. Not a test: the figures
# depend on the machine. About five minutes (the unplugged clear alone: two).
#
#   bench/answer_times.sh [BUILD_DIR]      (default: build)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
case $build in /*) ;; *) build=$here/$build ;; esac
work=$(mktemp -d "${TMPDIR:-/tmp}/answer-times.XXXXXX")
pids=()
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/sbin/mosquitto -p "$port" >"$work/mosquitto.log" 2>&1 & pids+=($!)
sleep 0.5
mosquitto_sub -p "$port" -v -t 'dt/#' -F '%U %t %p' >"$work/sub.log" & pids+=($!)

# Profiles: the demo car, and copies whose clear or reads misbehave.
demo=$here/configs/vehicles/demo_petrol_11bit.json
python3 - "$demo" "$work" <<'PY'
import json, sys
demo, work = sys.argv[1], sys.argv[2]
variants = {
    "clear_pending": lambda e: e.update(clear={"pending_answers": 1000, "result": "positive"}),
    "clear_refused": lambda e: e.update(clear={"result": "refuse", "nrc": "0x22"}),
    "late_reads": lambda e: e.setdefault("rules", []).extend(
        [{"request": "01 01", "pending_ms": 60000}, {"request": "03", "pending_ms": 60000}]),
}
for name, change in variants.items():
    profile = json.load(open(demo))
    for ecu in profile["ecus"]:
        change(ecu)
    json.dump(profile, open(f"{work}/{name}.json", "w"), indent=1)
PY

mkfifo "$work/sim.in"
sleep 100000 >"$work/sim.in" & pids+=($!) # keeps the simulator's input open
"$build/ecu-sim" --profile "$demo" --unix "$work/ecu.sock" --quiet <"$work/sim.in" >"$work/sim.log" 2>&1 & pids+=($!)
mkdir -p "$work/configs"
cp -r "$here/configs/default_config" "$work/configs/"
cp "$here/configs/config.json" "$work/configs/config.json"
sleep 0.5
DIAG_GW_CONFIG_DIR=$work/configs DIAG_GW_CAN_SOCKET=$work/ecu.sock DIAG_GW_BROKER=tcp://127.0.0.1:$port \
    "$build/diag-gateway-sim" >"$work/daemon.log" 2>&1 & pids+=($!)
sleep 5

sim() { echo "$*" >"$work/sim.in"; sleep 1; }
run() { "$build/diag-gateway-cli" --broker "127.0.0.1:$port" --timeout 400 "$@" >/dev/null 2>&1 || true; }
label() { echo "$(date +%s.%N) $*" >>"$work/labels.log"; }
series() {
    local c
    for c in codes readiness freeze clear reload; do label "$1 $c"; run "$c"; done
    label "$1 live"; run live 3
}

series answering
sim unplug; series unplugged; sim plug; sleep 4
sim profile "$work/clear_pending.json"; label 'clear, "response pending" for ever'; run clear
sim profile "$work/clear_refused.json"; label "clear refused"; run clear
sim profile "$work/late_reads.json"
label 'readiness, final answer too late'; run readiness
label 'codes, final answer too late'; run codes

# Per command: the label, then every answer carrying its ID, seconds after it.
python3 - "$work/sub.log" "$work/labels.log" <<'PY'
import json, re, sys
records = re.split(r"\n(?=\d+\.\d+ dt/)", open(sys.argv[1]).read())
labels = [(float(t), l.strip()) for t, l in (x.split(" ", 1) for x in open(sys.argv[2]))]
sent, answers = [], {}
for rec in filter(str.strip, records):
    t, topic, payload = rec.split(" ", 2)
    m = re.search(r'"ID"\s*:\s*"([^"]+)"', payload)
    if not m:
        continue
    if topic == "dt/ui_to_app/cmd":
        sent.append((float(t), m.group(1), payload.strip()))
        continue
    try:
        data = json.loads(payload).get("DATA", {})
    except ValueError:
        data = {}
    word = data.get("msg", "document") if isinstance(data, dict) else "document"
    answers.setdefault(m.group(1), []).append((float(t), word))
for t0, cid, text in sent:
    label = [l for t, l in labels if t <= t0][-1]
    steps = " ".join(f"{w}@{t - t0:.2f}" for t, w in answers.get(cid, []))
    print(f"{label:36} {text[:24]:24} {steps}")
PY
