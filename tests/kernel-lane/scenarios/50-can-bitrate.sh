# shellcheck shell=bash
# What only a real CAN controller shows: can0 is down after the board's boot
# and nobody but the daemon touches it. The daemon's own bring-up (down, up
# with the configured bitrate, up; through sudo) must leave it up at 500000
# and ERROR-ACTIVE, and the vehicle is identified over it. Then the vehicle's
# side runs at 250 kbit/s, as another car would, config.json says 250000, and
# a CMD 10 brings can0 up at 250000, where the vehicle is identified again.
# A vcan takes no bitrate at all, so this scenario needs controller mode.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
if [ "$CAN_MODE" != controller ]; then
    note "skipped: a vcan has no bitrate and no controller state (LANE_CAN=controller)"
    exit 77
fi
require_board_build || { end_scenario; exit 1; }

# set_config_bitrate N: config.json's "BR", as the UI's configuration page writes it.
set_config_bitrate() {
    "${LANE_PYTHON[@]}" - "$BOARD_CONFIG_DIR/config.json" "$1" <<'PY'
import json, sys
path, bitrate = sys.argv[1], int(sys.argv[2])
config = json.load(open(path))
config["can_port"]["BR"] = bitrate
json.dump(config, open(path, "w"), indent=4)
PY
}

# bring_up_commands BITRATE: the three commands of the daemon's bring-up, in order.
bring_up_commands() {
    printf '%s\n' "ip link set can0 down" "ip link set can0 up type can bitrate $1" "ip link set can0 up"
}

ran_bring_up_at() {
    [ "$(sudo_commands)" = "$(bring_up_commands "$1")" ] || {
        echo "sudo ran:" >&2
        sudo_commands >&2
        return 1
    }
}

ip_refused_nothing() { ! grep -F 'RTNETLINK' "$SCENARIO_OUT/gateway.log"; }

# Earlier scenarios leave can0 up: down again, as after a board's boot.
ip link set "$BOARD_CAN" down
check "can0 down before the daemon starts, as after boot" can_link_down "$BOARD_CAN"
: > "$LANE_SUDO_LOG"
start_board "$VEHICLES/demo_petrol_11bit.json" || { end_scenario; exit 1; }

expect_startup
check "can0 up at 500000 and ERROR-ACTIVE after the daemon's bring-up" \
    can_link_is "$BOARD_CAN" 500000 ERROR-ACTIVE
check "the bring-up ran down, up with bitrate 500000, up through sudo" ran_bring_up_at 500000
check "ip refused none of them" ip_refused_nothing
check "ecu_info.json holds the vehicle" ecu_info_has VID=ZZZDEM0PETR0L0001 BR=500000

# Another vehicle, at 250 kbit/s: on a real bus a controller at another
# bitrate than the rest sees nothing but errors, so the vehicle's side moves
# first and the board follows through its configuration.
check "vehicle's side at 250000" vehicle_can_up 250000
check "config.json says 250000" set_config_bitrate 250000
: > "$LANE_SUDO_LOG"
# The heartbeat missed while the vehicle's side was down may have started a
# bring-up of its own: only what follows the CMD 10 counts.
cursor=$(mqtt_log count)
publish_command '{"TYP":1,"CMD":10}'
expect_responses "after CMD 10: MODEDETECTED, GOTINFO, GOTPID, SAVSUC at 250 kbit/s" \
    status 240 --consecutive MODEDETECTED GOTINFO GOTPID SAVSUC
check "can0 up at 250000 and ERROR-ACTIVE after CMD 10" can_link_is "$BOARD_CAN" 250000 ERROR-ACTIVE
check "the bring-up ran again with bitrate 250000" ran_bring_up_at 250000
check "ip refused none of them" ip_refused_nothing
publish_command '{"TYP":1,"CMD":1}'
expect_responses "trouble codes read at 250 kbit/s" dtc 120 \
    '{"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}}'

end_scenario
status=$?
# The next scenario finds the vehicle's side as the lane set it up.
vehicle_can_up
exit $status
