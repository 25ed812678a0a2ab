# shellcheck shell=bash
# The board build against the ECU simulator with 29-bit identifiers: detection
# falls through to 29-bit, the VIN's flow control goes to 18DA10F1, trouble
# codes, one live cycle and clearing work on the 29-bit socket.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
require_board_build || { end_scenario; exit 1; }

start_board "$VEHICLES/demo_29bit.json" || { end_scenario; exit 1; }
fill=$(config_fill_hex)

expect_startup
expect_log "29-bit mode detected" 5 "OBD2_INFO : Detected ECU with 29-bit mode."
# demo_29bit answers 10 of the catalogue's PIDs.
check "ecu_info.json holds the 29-bit vehicle" ecu_info_has \
    VID=ZZZDEM029BT000003 CID=DEMOCAL-29BIT CVN=0111223344 ECUNM=ECM-29bit \
    "PROTO=ISO15765-4 (29-bit)" LIVE_PIDS=10 LIVE_PIDS.ENGRPM=1
check "29-bit requests go to 18DB33F1, padded" \
    every_bus_frame 18DB33F1 "02[0-9A-F]{4}($fill){5}|01[0-9A-F]{2}($fill){6}"
check "VIN came as a 29-bit first frame" some_bus_frame '^18DAF110#1014490201'
check "flow control went to 18DA10F1" every_bus_frame 18DA10F1 "300000($fill){5}"

publish_command '{"TYP":1,"CMD":1}'
expect_responses "trouble codes on 29-bit" dtc 120 \
    '{"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0301"],"PNDDTC":["P0301"],"PRMDTC":[]}}'

publish_command '{"TYP":1,"CMD":2}'
expect_responses "live data on 29-bit" live 120 ENGRPM='833.25|1300.00|2000.00' \
    SPD='0.00|30.00|60.00' COLTMP='92.00|93.00' ENGLD THRTPS INTTMP='28.00' FLLVL='--' CNTMDVOL='--'
publish_command '{"TYP":1,"CMD":3}'
expect_responses "idle again after CMD 3" status 120 ECU

publish_command '{"TYP":1,"CMD":4}'
expect_responses "clear on 29-bit after one 0x78 answer" status 120 4:DTC_CLEARED
check "one response-pending answer" [ "$(bus_frame_count '^18DAF110#037F0478')" -eq 1 ]

end_scenario
