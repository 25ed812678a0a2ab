# Helpers for lane scenarios (sourced; runs inside the lane VM as root).
#
# A scenario records checks with check/expect_*, starts background programs
# with spawn (stopped again when the scenario ends) and finishes with
# end_scenario, whose status is 0 only when every check passed.

: "${LANE_REPO:?LANE_REPO not set}"
: "${SCENARIO_OUT:=${LANE_OUT:-/tmp}/scenario}"
mkdir -p "$SCENARIO_OUT"

readonly SIM_GPIO_SYSFS=/sys/devices/platform/gpio-sim.0
readonly BROKER_HOST=127.0.0.1
readonly BROKER_PORT=1883

_checks_passed=0
_checks_failed=0
_spawned_pids=()
_spawned_names=()

note() { echo "  $*"; }

pass() {
    _checks_passed=$((_checks_passed + 1))
    echo "  ok   $*"
}

fail() {
    _checks_failed=$((_checks_failed + 1))
    echo "  FAIL $*"
}

# check DESCRIPTION COMMAND...: passes when COMMAND succeeds.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# wait_until SECONDS COMMAND...: polls COMMAND every 0.2 s until it succeeds.
wait_until() {
    local deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
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

spawned_pid() {
    local i
    for i in "${!_spawned_names[@]}"; do
        [ "${_spawned_names[$i]}" = "$1" ] && { echo "${_spawned_pids[$i]}"; return 0; }
    done
    return 1
}

# stop_spawned NAME: SIGTERM, then SIGKILL after five seconds.
stop_spawned() {
    local pid tries=25
    pid=$(spawned_pid "$1") || return 0
    kill "$pid" 2>/dev/null || return 0
    while kill -0 "$pid" 2>/dev/null && [ $tries -gt 0 ]; do
        sleep 0.2
        tries=$((tries - 1))
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
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
    cat "$SIM_GPIO_SYSFS/gpiochip$1/sim_gpio$2/value"
}
