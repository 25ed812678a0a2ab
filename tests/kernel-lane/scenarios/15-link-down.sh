# shellcheck shell=bash
# can0 set down under the running daemon, as another tool would, and left
# down: the daemon notices it, runs its bring-up again (the three "ip link"
# commands through sudo, with the configured bitrate) and answers a command.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
require_board_build || { end_scenario; exit 1; }

start_board "$VEHICLES/demo_petrol_11bit.json" || { end_scenario; exit 1; }
expect_startup

can0_up() { ip -o link show can0 | grep -qE '<([^>]*,)?UP[,>]'; }
can0_down() { ! can0_up; }

check "can0 set down under the daemon" ip link set can0 down
check "can0 is down" can0_down
check "can0 up again within 10 s, brought up by the daemon" wait_until 10 can0_up
expect_log "the bring-up is logged, with the configured bitrate" 5 "): bringing can0 up again at 500000 bit/s"

publish_command '{"TYP":1,"CMD":1}'
expect_responses "CMD 1 answered on the interface brought up again" dtc 120 \
    '{"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}}'
expect_responses "heartbeat answered afterwards" status 60 ECU
check "one bring-up for one loss" [ "$(grep -c 'OBD2_INFO : CAN link lost' "$SCENARIO_OUT/gateway.log")" -eq 1 ]

# Leave can0 up for the scenarios after this one, whatever happened above.
can0_up || ip link set can0 up type can bitrate 500000 2>/dev/null || ip link set can0 up
end_scenario
