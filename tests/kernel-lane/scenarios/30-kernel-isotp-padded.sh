# shellcheck shell=bash
# The ECU simulator answering through the kernel's CAN_ISOTP sockets, with
# padding: the kernel segments the answers and drives the flow control, the
# daemon's own ISO-TP reassembly reads them.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
require_board_build || { end_scenario; exit 1; }

start_board "$VEHICLES/demo_petrol_11bit.json" --kernel-isotp || { end_scenario; exit 1; }
fill=$(config_fill_hex)

expect_startup
check "ecu_info.json holds the VIN read through kernel ISO-TP" ecu_info_has \
    VID=ZZZDEM0PETR0L0001 CID=DEMOCAL-0001 "PROTO=ISO15765-4 (11-bit)" LIVE_PIDS=17
check "VIN came as a first frame of 20 bytes" some_bus_frame '^7E8#1014490201'
check "flow control went to 7E0" every_bus_frame 7E0 "300000($fill){5}"
check "ECU frames are 8 bytes, single frames filled with 55" ecu_frame_lengths 7E8 padded 55

publish_command '{"TYP":1,"CMD":1}'
expect_responses "trouble codes through kernel ISO-TP" dtc 120 \
    '{"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}}'
publish_command '{"TYP":1,"CMD":4}'
expect_responses "clear through kernel ISO-TP" status 120 4:DTC_CLEARED

end_scenario
