# shellcheck shell=bash
# A car of model year 2027 that answers OBD only through UDS, on 11-bit
# identifiers, the ECU simulator answering through the kernel's CAN_ISOTP
# sockets: detection asks classic first and then 22 F4 00, identification
# (ecu_info.json's PROTO names the dialect), trouble codes read with one
# 19 42 request and 19 55, the clear 14 FF FF 33 through two 7F 14 78
# answers, and live data through one 22 F4xx request per PID.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
require_board_build || { end_scenario; exit 1; }

start_board "$VEHICLES/demo_2027_obd_on_uds.json" --kernel-isotp || { end_scenario; exit 1; }
fill=$(config_fill_hex)

expect_startup
check "ecu_info.json: the VIN read through 22 F8 02, PROTO names OBD on UDS" ecu_info_has \
    VID=ZZZDEM02027UDS001 CID=DEMOCAL-2027 CVN=1A2B3C4D ECUNM=ECM-EngineControl \
    "PROTO=ISO15765-4 (11-bit, OBD on UDS)" LIVE_PIDS=17 LIVE_PIDS.ENGRPM=1 LIVE_PIDS.O2S1=0
check "classic probe 01 00 went to 7DF first" some_bus_frame "^7DF#020100($fill){5}\$"
check "then 22 F4 00 on 7DF" some_bus_frame "^7DF#0322F400($fill){4}\$"
check "answered 62 F4 00" some_bus_frame '^7E8#0762F400'
check "the ECU never answered a classic service" \
    every_bus_frame 7E8 '(0[1-7](62|59|54)|037F(22|19|14)|1[0-9A-F]{3}(62|59)|2[0-9A-F]).*'
check "VIN came as a first frame of 20 bytes: 62 F8 02" some_bus_frame '^7E8#101462F802'
check "flow control went to 7E0" every_bus_frame 7E0 "300000($fill){5}"
check "ECU frames are 8 bytes, single frames filled with 55" ecu_frame_lengths 7E8 padded 55

publish_command '{"TYP":1,"CMD":1}'
expect_responses "trouble codes through 19 42 and 19 55, one code per kind" dtc 120 \
    '{"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420","P0301"],"PNDDTC":["P0420","P0301","U0100"],"PRMDTC":["P0420","P0301"]}}'
check "one 19 42 33 <mask> FF request" [ "$(bus_frame_count "^7DF#05194233[0-9A-F]{2}FF($fill){2}\$")" -eq 1 ]
check "the record list came in a first frame of 31 bytes" some_bus_frame '^7E8#101F594233'
check "permanent codes asked as 19 55 33" some_bus_frame "^7DF#03195533($fill){4}\$"

publish_command '{"TYP":1,"CMD":4}'
expect_responses "clear: DTC_CLEARED after two 7F 14 78 answers" status 120 4:DTC_CLEARED
check "clear request 14 FF FF 33 sent three times" [ "$(bus_frame_count "^7DF#0414FFFF33($fill){3}\$")" -eq 3 ]
check "two response-pending answers on the bus" [ "$(bus_frame_count '^7E8#037F1478')" -eq 2 ]

live_values=(ENGRPM='800.00|850.00|1450.00|2000.00|2500.00|3000.00|2250.00|1500.00'
             SPD='0.00|30.00|50.00|70.00|85.00|60.00'
             COLTMP='88.00|90.00|91.00' ENGLD THRTPS INTTMP='28.00|29.00' FLLVL
             CNTMDVOL='14.25|14.28|14.20')
publish_command '{"TYP":1,"CMD":2}'
expect_responses "live data through 22 F4xx: first cycle" live 120 "${live_values[@]}"
publish_command '{"TYP":1,"CMD":3}'
expect_responses "idle again after CMD 3: heartbeat" status 120 ECU
check "one DID per request: 22 F4 0C" some_bus_frame "^7DF#0322F40C($fill){4}\$"
check "on 7DF only the classic probe 01 00 and UDS requests" \
    every_bus_frame 7DF "(020100|0[2-7](22|19|14))[0-9A-F]*"

end_scenario
