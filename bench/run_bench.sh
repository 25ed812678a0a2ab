#!/usr/bin/env bash
# Figures of the host-simulation daemon against the ECU simulator, on a
# private mosquitto port:
#   (a) command-to-answer latency of CMD 1 (trouble codes), p50/p95/p99/max
#   (a') relay packet to line change, p50/p95/max, packets at random moments,
#        beside the broker's own round trip
#   (b) CPU time of the daemon over 30 s idle (heartbeat) and 30 s of live data
#   (c) peak resident memory (VmHWM)
# Not a test: the numbers depend on the machine. Usage:
#
#   bench/run_bench.sh [BUILD_DIR]        (default: build, RelWithDebInfo by setup.sh)
#   BENCH_COMMANDS=100 BENCH_RELAYS=300 BENCH_WINDOW=30 bench/run_bench.sh
#   BENCH_BROKER_EXTRA=$'set_tcp_nodelay true\n' bench/run_bench.sh
#
# With mosquitto's default (Nagle on its sockets) most answers wait for a
# delayed TCP acknowledgement on loopback (~40 ms); set_tcp_nodelay shows
# the gateway's own share.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
case $build in /*) ;; *) build=$here/$build ;; esac
commands=${BENCH_COMMANDS:-200}
relays=${BENCH_RELAYS:-300}
window=${BENCH_WINDOW:-30}
vehicle=$here/configs/vehicles/demo_petrol_11bit.json
for bin in "$build/diag-gateway-sim" "$build/ecu-sim"; do
    [ -x "$bin" ] || { echo "bench: $bin is not built" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/diag-bench.XXXXXX")
pids=()
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_for() { # SECONDS COMMAND...
    local deadline=$((SECONDS + $1)); shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "bench: gave up waiting for: $*" >&2; exit 1; }
        sleep 0.1
    done
}
in_log() { grep -q -F -e "$2" "$1" 2>/dev/null; }
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
publish() { mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t dt/ui_to_app/cmd -m "$1"; }

g++ -std=c++20 -O2 -o "$work/latency_probe" "$here/bench/latency_probe.cpp" -lpaho-mqtt3c -lpthread
g++ -std=c++20 -O2 -o "$work/relay_probe" "$here/bench/relay_probe.cpp" -lpaho-mqtt3c -lpthread

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest stdout\n%s' "$port" "${BENCH_BROKER_EXTRA:-}" \
    >"$work/mosquitto.conf"
/usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)
wait_for 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null

mkdir -p "$work/configs"
cp -r "$here/configs/default_config" "$here/configs/config.json" "$work/configs/"
"$build/ecu-sim" --profile "$vehicle" --unix "$work/ecu.sock" --quiet >"$work/ecu-sim.log" 2>&1 &
pids+=($!)
wait_for 10 test -S "$work/ecu.sock"
DIAG_GW_CONFIG_DIR=$work/configs DIAG_GW_CAN_SOCKET=$work/ecu.sock \
    DIAG_GW_BROKER=tcp://127.0.0.1:$port "$build/diag-gateway-sim" >"$work/daemon.log" 2>&1 &
daemon=$!
pids+=($daemon)
wait_for 60 in_log "$work/daemon.log" "OBD2_INFO : ECU info saved to"
wait_for 15 in_log "$work/daemon.log" '"msg":"ECU"'

hz=$(getconf CLK_TCK)
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
echo "build:   $build ($(grep -m1 CMAKE_BUILD_TYPE "$build/CMakeCache.txt" | cut -d= -f2))"

"$work/latency_probe" "tcp://127.0.0.1:$port" "$commands" | sed 's/^/latency CMD 1: /'
"$work/relay_probe" "tcp://127.0.0.1:$port" "$relays" "$work/daemon.log" | sed 's/^/latency relay: /'

before=$(cpu_ticks "$daemon")
sleep "$window"
after=$(cpu_ticks "$daemon")
awk -v t=$((after - before)) -v hz="$hz" -v w="$window" \
    'BEGIN { printf "cpu idle (heartbeat): %d ms in %d s (%.2f %% of one core)\n", t * 1000 / hz, w, t * 100 / hz / w }'

publish '{"TYP":1,"CMD":2}'
wait_for 10 in_log "$work/daemon.log" '"CMD": 2'
cycles_before=$(grep -c '"CMD": 2' "$work/daemon.log" || true)
before=$(cpu_ticks "$daemon")
sleep "$window"
after=$(cpu_ticks "$daemon")
cycles=$(($(grep -c '"CMD": 2' "$work/daemon.log" || true) - cycles_before))
publish '{"TYP":1,"CMD":3}'
awk -v t=$((after - before)) -v hz="$hz" -v w="$window" -v c="$cycles" \
    'BEGIN { printf "cpu live data:        %d ms in %d s (%.2f %% of one core), %d cycles\n", t * 1000 / hz, w, t * 100 / hz / w, c }'

echo "peak RSS (VmHWM):     $(awk '/VmHWM/ { print $2, $3 }' "/proc/$daemon/status")"
echo "logs in $work"
