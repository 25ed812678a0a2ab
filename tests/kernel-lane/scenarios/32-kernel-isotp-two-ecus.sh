# shellcheck shell=bash
# An engine ECU (7E8) and a transmission ECU (7E9) answering through the
# kernel's CAN_ISOTP sockets, the second 8 ms after the first: the vehicle is
# the engine ECU's, both ECUs' trouble codes are merged, live values are the
# engine ECU's, and the transmission ECU gets flow control only when it is
# the ECU asked.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
require_board_build || { end_scenario; exit 1; }

start_board "$VEHICLES/two_ecus_11bit.json" --kernel-isotp || { end_scenario; exit 1; }

expect_startup
check "ecu_info.json describes the engine ECU" ecu_info_has \
    VID=ZZZDEM0TW0ECU0004 CID=DEMOCAL-ECM CVN=01DEADBEEF ECUNM=ECM-EngineControl \
    "PROTO=ISO15765-4 (11-bit)" LIVE_PIDS=6
check "both ECUs answered the detection" some_bus_frame '^7E9#064100'

merged='{"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420","P0700"],"PNDDTC":["P0420","U0100","P0700","P0133"],"PRMDTC":["P0420","P0700"]}}'
for round in 1 2 3 4 5 6 7 8 9 10; do
    publish_command '{"TYP":1,"CMD":1}'
    expect_responses "trouble codes of both ECUs, merged (round $round)" dtc 120 "$merged"
done

publish_command '{"TYP":1,"CMD":2}'
expect_responses "live data holds the engine ECU's values only" live 120 \
    ENGRPM='820.00|1500.00' SPD='0.00|40.00' COLTMP=90.00 ENGLD='25.10|31.37' \
    THRTPS=-- INTTMP=-- FLLVL=-- CNTMDVOL=--
publish_command '{"TYP":1,"CMD":3}'
expect_responses "idle again after CMD 3" status 120 ECU
# Its pending list (three codes) is the only multi-frame answer it is asked
# for: one flow control per CMD 1, none for its VIN while the engine ECU's
# was read, none during live data.
check "flow control to the transmission ECU only when it was asked" [ "$(bus_frame_count '^7E1#')" -eq 10 ]

end_scenario
