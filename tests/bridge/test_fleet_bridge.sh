#!/usr/bin/env bash
# The fleet bridge as debian/board/mosquitto/diag-gateway.conf gives it: two
# mosquittos on loopback, the board's with the example's settings turned on
# (only the central address and the certificate paths replaced), the central
# one speaking TLS with certificates of a throw-away CA made here. A board's
# retained state must reach a late subscriber of the central broker under the
# board's prefix, and a command published centrally must not reach the board.
# Exit 77 (skipped) without openssl or the mosquitto clients.
set -euo pipefail

here=$(cd "$(dirname "$0")/../.." && pwd)
example=$here/debian/board/mosquitto/diag-gateway.conf
for tool in openssl mosquitto_pub mosquitto_sub python3; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool not installed"; exit 77; }
done
[ -x /usr/sbin/mosquitto ] || { echo "skipped: mosquitto not installed"; exit 77; }

dir=$(mktemp -d /tmp/fleet-bridge-XXXXXX)
pids=()
finish() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$dir"
}
trap finish EXIT
fail() {
    echo "FAIL: $*" >&2
    for log in "$dir"/*.log; do echo "--- $log" >&2; tail -n 20 "$log" >&2; done
    exit 1
}

# A throw-away CA, the central broker's certificate for 127.0.0.1 and the
# board's client certificate.
certificate() { # name subject-alt-name
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$1" \
        -keyout "$dir/$1.key" -out "$dir/$1.csr" 2>/dev/null
    openssl x509 -req -in "$dir/$1.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -CAcreateserial \
        -days 1 -out "$dir/$1.crt" -extfile <(printf '%s\n' "$2") 2>/dev/null
}
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
    -subj "/CN=fleet test CA" -keyout "$dir/ca.key" -out "$dir/ca.crt" 2>/dev/null
certificate central "subjectAltName=IP:127.0.0.1"
certificate board-0001 "extendedKeyUsage=clientAuth"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Starts mosquitto on $dir/$1.conf; waits until it says it runs.
start_broker() {
    /usr/sbin/mosquitto -c "$dir/$1.conf" >"$dir/$1.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 200); do
        grep -q ' running$' "$dir/$1.log" && return 0
        kill -0 "${pids[-1]}" 2>/dev/null || fail "$1 broker did not start"
        sleep 0.05
    done
    fail "$1 broker did not start in time"
}

central_port=$(free_port)
cat >"$dir/central.conf" <<CONF
listener $central_port 127.0.0.1
cafile $dir/ca.crt
certfile $dir/central.crt
keyfile $dir/central.key
require_certificate true
allow_anonymous true
user root
persistence false
log_dest stderr
log_type all
CONF
start_broker central

# The board: its test listener, then the example with its settings turned on.
board_port=$(free_port)
{
    printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser root\npersistence false\n' "$board_port"
    printf 'log_dest stderr\nlog_type all\n'
    sed -E -e 's/^#([a-z_]+ )/\1/' \
        -e "s|^address .*|address 127.0.0.1:$central_port|" \
        -e "s|/etc/mosquitto/certs/fleet-ca.crt|$dir/ca.crt|" \
        -e "s|/etc/mosquitto/certs/|$dir/|" "$example"
} >"$dir/board.conf"
grep -q '^topic dt/app_to_ui/# out' "$dir/board.conf" || fail "the example has no outgoing bridge topic"
if grep -q '^topic dt/ui_to_app' "$dir/board.conf"; then fail "the example lets commands in"; fi
start_broker board

for _ in $(seq 200); do
    grep -q 'as board-0001' "$dir/central.log" && break
    sleep 0.05
done
grep -q 'as board-0001' "$dir/central.log" || fail "the bridge did not connect to the central broker"

state='{"ONLINE":1,"LINK":"up","ECU":null,"CONFIG":"ok","BUSY":0,"RELAYS":{"DO0":1}}'
mosquitto_pub -h 127.0.0.1 -p "$board_port" -q 1 -r -t dt/app_to_ui/state -m "$state"

# A late subscriber gets it from the central broker's store, so retained
# (format: retained flag, topic, payload).
expected="1 fleet/board-0001/dt/app_to_ui/state $state"
got=""
for _ in $(seq 40); do
    got=$(mosquitto_sub -h 127.0.0.1 -p "$central_port" --cafile "$dir/ca.crt" --cert "$dir/board-0001.crt" \
              --key "$dir/board-0001.key" -q 1 -t 'fleet/board-0001/dt/app_to_ui/state' \
              -F '%r %t %p' -C 1 -W 2 2>/dev/null || true)
    [ "$got" = "$expected" ] && break
    sleep 0.1
done
[ "$got" = "$expected" ] || fail "central broker gave \"$got\", expected \"$expected\""

# Commands from the centre stay out.
mosquitto_sub -h 127.0.0.1 -p "$board_port" -t 'dt/ui_to_app/#' -v -W 3 >"$dir/board-commands.txt" 2>/dev/null &
sub=$!
sleep 1
for topic in fleet/board-0001/dt/ui_to_app/cmd dt/ui_to_app/cmd; do
    mosquitto_pub -h 127.0.0.1 -p "$central_port" --cafile "$dir/ca.crt" --cert "$dir/board-0001.crt" \
        --key "$dir/board-0001.key" -q 1 -t "$topic" -m '{"TYP":1,"CMD":4}'
done
wait "$sub" || true
[ ! -s "$dir/board-commands.txt" ] || fail "a central command reached the board: $(cat "$dir/board-commands.txt")"
echo "bridge: state retained centrally as $expected; no command came in"
