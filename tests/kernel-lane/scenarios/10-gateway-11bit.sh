# shellcheck shell=bash
# The board build against the ECU simulator on can0 with 11-bit identifiers
# (raw frames, the simulator segments): start-up, the multi-frame VIN with the
# daemon's flow control, trouble codes, live data, clearing through two
# "response pending" answers, and unplugging and replugging the vehicle.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
require_board_build || { end_scenario; exit 1; }

profile=$VEHICLES/demo_petrol_11bit.json
start_board "$profile" || { end_scenario; exit 1; }
fill=$(config_fill_hex)

expect_startup
expect_log "11-bit mode detected" 5 "OBD2_INFO : Detected ECU with 11-bit mode."
# demo_petrol_11bit answers 17 of the catalogue's PIDs.
check "ecu_info.json holds the vehicle and the scan" ecu_info_has \
    VID=ZZZDEM0PETR0L0001 CID=DEMOCAL-0001 CVN=01A1B2C3D4 ECUNM=ECM-EngineControl \
    "PROTO=ISO15765-4 (11-bit)" BR=500000 LIVE_PIDS=17 LIVE_PIDS.ENGRPM=1 LIVE_PIDS.O2S1=0

check "requests go to 7DF, padded with the configured fill byte" \
    every_bus_frame 7DF "02[0-9A-F]{4}($fill){5}|01[0-9A-F]{2}($fill){6}"
check "VIN came as a first frame of 20 bytes" some_bus_frame '^7E8#1014490201'
check "flow control 30 00 00 + fill went to 7E0" every_bus_frame 7E0 "300000($fill){5}"

publish_command '{"TYP":1,"CMD":1}'
expect_responses "trouble codes: stored kept only if pending" dtc 120 \
    '{"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}}'

live_values=(ENGRPM='820.00|850.00|1500.00|2000.00|2400.00|3000.00'
             SPD='0.00|32.00|48.00|65.00|80.00|30.00'
             COLTMP='89.00|90.00|91.00' ENGLD THRTPS INTTMP='30.00|31.00' FLLVL
             CNTMDVOL='14.20|14.24|14.16')
publish_command '{"TYP":1,"CMD":2}'
expect_responses "live data: first cycle" live 120 "${live_values[@]}"
expect_responses "live data: second cycle" live 120 "${live_values[@]}"
publish_command '{"TYP":1,"CMD":3}'
expect_responses "idle again after CMD 3: heartbeat" status 120 ECU
stream_end=$cursor
check "live data stopped after CMD 3" mqtt_log absent "$stream_end" 2

publish_command '{"TYP":1,"CMD":4}'
expect_responses "clear: DTC_CLEARED after two 0x78 answers" status 120 4:DTC_CLEARED
check "clear request sent three times" [ "$(bus_frame_count "^7DF#0104($fill){6}$")" -eq 3 ]
check "two response-pending answers on the bus" [ "$(bus_frame_count '^7E8#037F0478')" -eq 2 ]
publish_command '{"TYP":1,"CMD":1}'
expect_responses "trouble codes after the clear: only the permanent one" dtc 120 \
    '{"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":[],"PRMDTC":["P0420"]}}'

check "vehicle unplugged (SIGUSR1)" signal_spawned USR1 ecu-sim
expect_responses "heartbeat unanswered: NOECU" status 60 NOECU
check "vehicle plugged back (SIGUSR2)" signal_spawned USR2 ecu-sim
expect_responses "replug: ECU, GOTECU, then identification again" status 240 --consecutive \
    ECU GOTECU MODEDETECTED GOTINFO GOTPID SAVSUC
expect_log "replugged vehicle recognised, no second scan" 5 \
    "OBD2_INFO : ECU info matches saved file. Skipping PID scan and JSON update."
check "no live data after CMD 3, to the end" mqtt_log absent "$stream_end" 2

end_scenario
