# shellcheck shell=bash
# Helpers for lane scenarios (sourced; runs inside the lane VM as root).
#
# A scenario records checks with check/expect_*, starts background programs
# with spawn (stopped again when the scenario ends) and finishes with
# end_scenario, whose status is 0 only when every check passed.

: "${LANE_REPO:?LANE_REPO not set}"
: "${SCENARIO_OUT:=${LANE_OUT:-/tmp}/scenario}"
mkdir -p "$SCENARIO_OUT"

# The system's python (not a user's shim); -S: no site packages, starts
# several times faster under emulation, and only the standard library is used.
LANE_PYTHON=(/usr/bin/python3 -S)
readonly SIM_GPIO_SYSFS=/sys/devices/platform/gpio-sim.0
readonly BROKER_HOST=127.0.0.1
readonly BROKER_PORT=1883

_checks_passed=0
_checks_failed=0
_spawned_pids=()
_spawned_names=()

_scenario_start=${EPOCHREALTIME/[.,]/}

# Seconds since the scenario started, e.g. "12.3".
elapsed() {
    local us=$((${EPOCHREALTIME/[.,]/} - _scenario_start))
    printf '%d.%d' $((us / 1000000)) $((us % 1000000 / 100000))
}

note() { echo "  $*"; }

pass() {
    _checks_passed=$((_checks_passed + 1))
    echo "  ok   [$(elapsed) s] $*"
}

fail() {
    _checks_failed=$((_checks_failed + 1))
    echo "  FAIL [$(elapsed) s] $*"
}

# check DESCRIPTION COMMAND...: passes when COMMAND succeeds.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# wait_until SECONDS COMMAND...: polls COMMAND every 0.2 s until it succeeds.
wait_until() {
    local deadline=$((${EPOCHREALTIME/[.,]/} + $1 * 1000000))
    shift
    until "$@"; do
        [ "${EPOCHREALTIME/[.,]/}" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# spawn NAME COMMAND...: runs COMMAND in the background, output to
# $SCENARIO_OUT/NAME.log; stopped by stop_spawned or at the end.
spawn() {
    local name=$1
    shift
    "$@" > "$SCENARIO_OUT/$name.log" 2>&1 &
    _spawned_pids+=($!)
    _spawned_names+=("$name")
}

# The pid of a spawned program that has not been stopped yet.
spawned_pid() {
    local i
    for i in "${!_spawned_names[@]}"; do
        if [ "${_spawned_names[$i]}" = "$1" ] && [ -n "${_spawned_pids[$i]}" ]; then
            echo "${_spawned_pids[$i]}"
            return 0
        fi
    done
    return 1
}

forget_spawned() {
    local i
    for i in "${!_spawned_names[@]}"; do
        [ "${_spawned_names[$i]}" = "$1" ] && _spawned_pids[$i]=""
    done
}

# True while PID runs (a zombie not yet reaped counts as ended).
is_running() {
    local stat
    read -r stat 2>/dev/null < "/proc/$1/stat" || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

# stop_spawned NAME: SIGTERM, then SIGKILL after five seconds.
stop_spawned() {
    local name=$1 pid tries=25
    pid=$(spawned_pid "$name") || return 0
    kill "$pid" 2>/dev/null || return 0
    while is_running "$pid" && [ $tries -gt 0 ]; do
        sleep 0.2
        tries=$((tries - 1))
    done
    if is_running "$pid"; then
        note "$name did not end on SIGTERM; killing it"
        kill -9 "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null || true
    forget_spawned "$name"
}

stop_all_spawned() {
    local i
    for ((i = ${#_spawned_names[@]} - 1; i >= 0; i--)); do
        stop_spawned "${_spawned_names[$i]}"
    done
}
trap stop_all_spawned EXIT

end_scenario() {
    stop_all_spawned
    if [ "$_checks_failed" -gt 0 ]; then
        local name
        for name in "${_spawned_names[@]}"; do
            echo "  --- last lines of $name.log"
            tail -n 25 "$SCENARIO_OUT/$name.log" 2>/dev/null | sed 's/^/  | /'
        done
    fi
    echo "  checks: $_checks_passed passed, $_checks_failed failed"
    [ "$_checks_failed" -eq 0 ] && [ "$_checks_passed" -gt 0 ]
}

# ---- broker -------------------------------------------------------------------

broker_answers() {
    mosquitto_pub -h "$BROKER_HOST" -p "$BROKER_PORT" -t lane/ping -m ping -q 0 2>/dev/null
}

# start_broker: a real mosquitto on 127.0.0.1:1883, as on the board.
start_broker() {
    local conf=$SCENARIO_OUT/mosquitto.conf
    printf 'listener %s %s\nallow_anonymous true\npersistence false\n' \
        "$BROKER_PORT" "$BROKER_HOST" > "$conf"
    spawn mosquitto mosquitto -c "$conf" -v
    wait_until 20 broker_answers
}

# ---- GPIO simulator -------------------------------------------------------------

# sim_gpio_level CHIP LINE: the level gpio-sim holds for /dev/gpiochipCHIP line LINE.
sim_gpio_level() {
    local level
    read -r level < "$SIM_GPIO_SYSFS/gpiochip$1/sim_gpio$2/value" && echo "$level"
}

# ---- the daemon, the ECU simulator and the bus ---------------------------------------

: "${LANE_BUILD_DIR:=$LANE_REPO/build}"
readonly GATEWAY=$LANE_BUILD_DIR/diag-gateway
readonly ECU_SIM=$LANE_BUILD_DIR/ecu-sim
readonly BOARD_CONFIG_DIR=/opt/zuk/configs
export VEHICLES=$LANE_REPO/configs/vehicles
readonly MQTT_LOG_TOOL=$LANE_REPO/tests/kernel-lane/guest/mqtt_log.py
readonly RESPONSES=$SCENARIO_OUT/responses.log
readonly BUS_LOG=$SCENARIO_OUT/candump.log
readonly CMD_TOPIC=dt/ui_to_app/cmd
readonly RESP_TOPIC=dt/app_to_ui/resp
readonly STATE_TOPIC=dt/app_to_ui/state

# Relay n -> "chip line" as the board wires them.
readonly RELAY_WIRING=("4 10" "4 11" "3 31" "4 0" "3 27" "3 26" "4 14" "3 25" "4 13"
                       "0 20" "0 21" "0 13")

require_board_build() {
    local missing=0 binary
    for binary in "$GATEWAY" "$ECU_SIM"; do
        if [ ! -x "$binary" ]; then
            fail "$binary not built (cmake --build <build> --target diag-gateway ecu-sim)"
            missing=1
        fi
    done
    return $missing
}

# Fresh /opt/zuk/configs from the repository's configs/ (in the VM's overlay).
install_board_configs() {
    rm -rf "$BOARD_CONFIG_DIR"
    mkdir -p "$BOARD_CONFIG_DIR/default_config"
    cp "$LANE_REPO/configs/config.json" "$BOARD_CONFIG_DIR/config.json"
    cp "$LANE_REPO/configs/default_config/default_config.json" "$BOARD_CONFIG_DIR/default_config/"
}

# The configured fill byte as two upper-case hex digits (as candump shows it).
config_fill_hex() {
    "${LANE_PYTHON[@]}" -c 'import json,sys; print("%02X" % (json.load(open(sys.argv[1]))["can_port"]["padding"] & 0xFF))' \
        "$BOARD_CONFIG_DIR/config.json"
}

# ---- the CAN link -----------------------------------------------------------------

# The board's side of the bus is can0, as the daemon has it. The vehicle's
# side (ECU simulator, noise, bus log) is the second controller in controller
# mode and can0 itself in vcan mode (LANE_CAN, see run-in-vm.sh): scenarios
# name $BOARD_CAN and $VEHICLE_CAN, never can0/can1.
readonly CAN_MODE=${LANE_CAN:-vcan}
readonly BOARD_CAN=can0
readonly VEHICLE_CAN=${LANE_VEHICLE_CAN:-can0}
readonly VEHICLE_BITRATE=${LANE_VEHICLE_BITRATE:-500000}

# can_up IFACE BITRATE: up the way a controller must come up, with its
# bitrate (set down first, as a controller takes no bitrate while up); a
# vcan has no bitrate and is just set up.
can_up() {
    if [ "$CAN_MODE" = controller ]; then
        ip link set "$1" down && ip link set "$1" up type can bitrate "$2"
    else
        ip link set "$1" up
    fi
}

# vehicle_can_up [BITRATE]: the vehicle's side up at BITRATE (default: the
# lane's 500 kbit/s). In vcan mode that is can0 itself.
vehicle_can_up() { can_up "$VEHICLE_CAN" "${1:-$VEHICLE_BITRATE}"; }

# board_can_up [BITRATE]: can0 up as a board's bring-up leaves it.
board_can_up() { can_up "$BOARD_CAN" "${1:-$VEHICLE_BITRATE}"; }

# can_link_is IFACE BITRATE STATE: "ip -details link show" says the link is
# up at BITRATE in controller state STATE (e.g. ERROR-ACTIVE).
can_link_is() {
    local details
    details=$(ip -details link show "$1") || return 1
    if grep -q ',UP' <<< "$details" &&
        grep -qE "^[[:space:]]+can .*state $3( |$)" <<< "$details" &&
        grep -qE "^[[:space:]]+bitrate $2( |$)" <<< "$details"; then
        return 0
    fi
    echo "$1 is not up at $2 in $3:" >&2
    echo "$details" >&2
    return 1
}

# can_link_down IFACE: administratively down (a controller says STOPPED).
can_link_down() { ! ip link show "$1" | grep -q ',UP'; }

# sudo_commands: what the lane's sudo stand-in ran, one command a line.
sudo_commands() { cat "${LANE_SUDO_LOG:?no sudo stand-in in this VM}"; }

# Every frame on the bus as the vehicle's side sees it (the daemon's frames
# and the simulator's), in candump's log format, in $BUS_LOG (-D: a link may
# go down and up again).
start_bus_log() {
    spawn candump stdbuf -oL candump -D -L "$VEHICLE_CAN"
    # Ready once it has seen a frame of its own: keep sending a marker frame
    # (an identifier nobody answers) until one shows up.
    bus_log_ready() {
        cangen -n 1 -I 5A5 -L 2 -D CAFE "$VEHICLE_CAN" &&
            grep -q " $VEHICLE_CAN 5A5#CAFE" "$BUS_LOG"
    }
    wait_until 20 bus_log_ready
}

# bus_frames REGEX: frames of the bus log (as "ID#DATA") matching REGEX.
bus_frames() {
    awk '{ print $3 }' "$BUS_LOG" | grep -E "$1"
}

# mosquitto_sub on the response and state topics (and a probe topic to know
# it is subscribed); the states are only checked against the API document.
start_response_capture() {
    spawn responses stdbuf -oL mosquitto_sub -h "$BROKER_HOST" -p "$BROKER_PORT" -q 1 -F '%j' \
        -t "$RESP_TOPIC" -t "$STATE_TOPIC" -t lane/probe
    capture_ready() {
        mosquitto_pub -h "$BROKER_HOST" -p "$BROKER_PORT" -t lane/probe -m probe -q 0 &&
            grep -q '"topic":"lane/probe"' "$RESPONSES"
    }
    wait_until 20 capture_ready
}

publish_command() {
    mosquitto_pub -h "$BROKER_HOST" -p "$BROKER_PORT" -t "$CMD_TOPIC" -q 1 -m "$1"
}

# mqtt_log SUBCOMMAND ARGS...: see guest/mqtt_log.py.
mqtt_log() {
    local sub=$1
    shift
    "${LANE_PYTHON[@]}" "$MQTT_LOG_TOOL" "$sub" "$RESPONSES" "$@"
}

start_gateway() {
    spawn gateway stdbuf -oL -eL "$GATEWAY"
}

# start_ecu_sim PROFILE [ecu-sim options...]: the simulator on the vehicle's side.
start_ecu_sim() {
    local profile=$1
    shift
    spawn ecu-sim stdbuf -oL -eL "$ECU_SIM" --profile "$profile" --can "$VEHICLE_CAN" "$@"
}

# Sends a signal to a spawned program (stdbuf execs it, so the pid is its own).
signal_spawned() {
    local pid
    pid=$(spawned_pid "$2") || return 1
    kill "-$1" "$pid"
}

# ---- relays ----------------------------------------------------------------------------

# The twelve line levels in relay order, e.g. "1 1 0 1 1 1 1 1 1 1 1 1".
relay_line_levels() {
    local wiring level levels=()
    for wiring in "${RELAY_WIRING[@]}"; do
        set -- $wiring
        read -r level < "$SIM_GPIO_SYSFS/gpiochip$1/sim_gpio$2/value" || level=x
        levels+=("$level")
    done
    echo "${levels[*]}"
}

# relay_levels_are "L0 L1 ... L11"
relay_levels_are() { [ "$(relay_line_levels)" = "$1" ]; }

# ---- scenario steps ----------------------------------------------------------------------

# Position in the response capture from which the next expectation looks.
cursor=0

# expect_responses DESCRIPTION SUBCOMMAND TIMEOUT ARGS...: an mqtt_log.py wait
# from the cursor; on success the cursor moves past the matched message.
expect_responses() {
    local what=$1 sub=$2 timeout=$3 next
    shift 3
    if next=$(mqtt_log "$sub" "$cursor" "$timeout" "$@"); then
        cursor=$next
        pass "$what"
    else
        fail "$what"
        return 1
    fi
}

# expect_log DESCRIPTION TIMEOUT TEXT: waits until the daemon printed TEXT.
expect_log() {
    check "$1" wait_until "$2" grep -qF -- "$3" "$SCENARIO_OUT/gateway.log"
}

# start_board PROFILE [ecu-sim options...]: broker, response capture, bus log,
# the simulator (none when PROFILE is empty) and the daemon, on fresh configs.
start_board() {
    local profile=$1
    shift
    install_board_configs
    check "mosquitto runs on 127.0.0.1:1883" start_broker || return 1
    check "response capture subscribed" start_response_capture || return 1
    check "bus log running" start_bus_log || return 1
    [ -z "$profile" ] || start_ecu_sim "$profile" "$@"
    start_gateway
}

# The start-up road up to the first answered heartbeat.
expect_startup() {
    expect_responses "start-up: MODEDETECTED, GOTINFO, GOTPID, SAVSUC in order" \
        status 240 --consecutive MODEDETECTED GOTINFO GOTPID SAVSUC &&
        expect_responses "heartbeat answered: ECU" status 60 ECU
}

# ecu_info_has KEY=VALUE...: members of ECU_INFO, or LIVE_PIDS.KEY=0|1, or
# LIVE_PIDS=N for the number of supported PIDs, in /opt/zuk/configs/ecu_info.json.
ecu_info_has() {
    "${LANE_PYTHON[@]}" - "$BOARD_CONFIG_DIR/ecu_info.json" "$@" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
ok = True
for item in sys.argv[2:]:
    key, _, want = item.partition("=")
    if key == "LIVE_PIDS":
        got = sum(1 for v in doc["LIVE_PIDS"].values() if v == 1)
    elif key.startswith("LIVE_PIDS."):
        got = doc["LIVE_PIDS"].get(key[len("LIVE_PIDS."):])
    else:
        got = doc["ECU_INFO"].get(key)
    if str(got) != want:
        print(f"ecu_info.json: {key} is {got!r}, want {want!r}", file=sys.stderr)
        ok = False
sys.exit(0 if ok else 1)
PY
}

# every_bus_frame ID_REGEX DATA_REGEX: every frame from an identifier matching
# ID_REGEX carries data matching DATA_REGEX (and there is at least one).
every_bus_frame() {
    local frames bad
    frames=$(bus_frames "^($1)#") || { echo "no frame from $1 on the bus" >&2; return 1; }
    bad=$(grep -Ev "^($1)#($2)\$" <<< "$frames" | head -n 5)
    [ -z "$bad" ] || { echo "frames not matching $2: $bad" >&2; return 1; }
}

# some_bus_frame REGEX: at least one frame ("ID#DATA") matches.
some_bus_frame() { bus_frames "$1" > /dev/null; }

# bus_frame_count REGEX
bus_frame_count() { bus_frames "$1" | wc -l; }

# ecu_frame_lengths ID padded FILL | ID unpadded: frames from ID on the bus
# are 8 bytes with FILL after a single frame's data, or (unpadded) single
# frames are exactly as long as their data. At least one single frame needed.
ecu_frame_lengths() {
    "${LANE_PYTHON[@]}" - "$BUS_LOG" "$@" <<'PY'
import sys
log, can_id, mode = sys.argv[1], sys.argv[2], sys.argv[3]
fill = bytes.fromhex(sys.argv[4]) if mode == "padded" else b""
single = 0
problems = []
for line in open(log):
    fields = line.split()
    if len(fields) < 3 or not fields[2].startswith(can_id + "#"):
        continue
    data = bytes.fromhex(fields[2].split("#", 1)[1])
    if mode == "padded" and len(data) != 8:
        problems.append(f"{fields[2]}: not 8 bytes")
    if data and data[0] >> 4 == 0:
        single += 1
        length = data[0] & 0x0F
        rest = data[1 + length:]
        if mode == "padded" and rest != fill * len(rest):
            problems.append(f"{fields[2]}: fill after the data is not {fill.hex()}")
        if mode == "unpadded" and len(data) != 1 + length:
            problems.append(f"{fields[2]}: {len(data)} bytes for {length} bytes of data")
if single == 0:
    problems.append(f"no single frame from {can_id}")
for problem in problems[:5]:
    print(problem, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
}
