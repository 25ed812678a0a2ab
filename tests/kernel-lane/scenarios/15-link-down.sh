# shellcheck shell=bash
# can0 set down under the running daemon, as another tool would, and left
# down: the daemon notices it, runs its bring-up again (the three "ip link"
# commands through sudo, with the configured bitrate; a controller refuses a
# plain "up" without one), and answers a command. Nothing here brings can0
# up but the daemon.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
require_board_build || { end_scenario; exit 1; }

start_board "$VEHICLES/demo_petrol_11bit.json" || { end_scenario; exit 1; }
expect_startup

board_can_is_up() { ! can_link_down "$BOARD_CAN"; }

ran_one_bring_up() {
    local expected
    expected=$(printf '%s\n' "ip link set can0 down" "ip link set can0 up type can bitrate 500000" \
        "ip link set can0 up")
    [ "$(sudo_commands)" = "$expected" ] || {
        echo "sudo ran:" >&2
        sudo_commands >&2
        return 1
    }
}

: > "$LANE_SUDO_LOG"
check "can0 set down under the daemon" ip link set "$BOARD_CAN" down
check "can0 is down" can_link_down "$BOARD_CAN"
check "can0 up again within 10 s, brought up by the daemon" wait_until 10 board_can_is_up
expect_log "the bring-up is logged, with the configured bitrate" 5 "): bringing can0 up again at 500000 bit/s"
if [ "$CAN_MODE" = controller ]; then
    check "can0 at 500000 and ERROR-ACTIVE again" can_link_is "$BOARD_CAN" 500000 ERROR-ACTIVE
fi

publish_command '{"TYP":1,"CMD":1}'
expect_responses "CMD 1 answered on the interface brought up again" dtc 120 \
    '{"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}}'
expect_responses "heartbeat answered afterwards" status 60 ECU
check "one bring-up for one loss: the three commands through sudo, once" ran_one_bring_up
check "one bring-up line in the log" [ "$(grep -c 'OBD2_INFO : CAN link lost' "$SCENARIO_OUT/gateway.log")" -eq 1 ]

end_scenario
status=$?
# The next scenario finds can0 up, whatever happened above.
board_can_is_up || board_can_up
exit $status
