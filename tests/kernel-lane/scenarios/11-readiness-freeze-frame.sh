# shellcheck shell=bash
# Readiness monitors (CMD 20) and the freeze frame (CMD 21) of the demo
# vehicle on 11-bit identifiers: both documents byte for byte, the requests
# on the bus (01 01, and 02 PID 00 for frame 0, padded with the fill byte),
# and after a clear every supported monitor incomplete and no frame, of
# which nothing more than its code is asked.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
require_board_build || { end_scenario; exit 1; }

start_board "$VEHICLES/demo_petrol_11bit.json" || { end_scenario; exit 1; }
fill=$(config_fill_hex)
expect_startup

readiness='{"TYP":1,"CMD":20,"DATA":{"MIL":1,"DTC_COUNT":2,"IGNITION":"spark","MONITORS":{"MISFIRE":"complete","FUEL_SYSTEM":"complete","COMPONENTS":"complete","CATALYST":"complete","HEATED_CATALYST":"unsupported","EVAP_SYSTEM":"incomplete","SECONDARY_AIR":"unsupported","AC_REFRIGERANT":"unsupported","O2_SENSOR":"complete","O2_SENSOR_HEATER":"complete","EGR_VVT":"incomplete"}}}'
frame='{"TYP":1,"CMD":21,"DATA":{"DTC":"P0420","VALUES":{"ENGLD":29.80,"COLTMP":90.00,"INTPRS":40.00,"ENGRPM":850.00,"SPD":0.00,"STFT1":0.78}}}'
cleared='{"TYP":1,"CMD":20,"DATA":{"MIL":0,"DTC_COUNT":0,"IGNITION":"spark","MONITORS":{"MISFIRE":"incomplete","FUEL_SYSTEM":"incomplete","COMPONENTS":"incomplete","CATALYST":"incomplete","HEATED_CATALYST":"unsupported","EVAP_SYSTEM":"incomplete","SECONDARY_AIR":"unsupported","AC_REFRIGERANT":"unsupported","O2_SENSOR":"incomplete","O2_SENSOR_HEATER":"incomplete","EGR_VVT":"incomplete"}}}'
frame_request="^7DF#0302[0-9A-F]{2}00($fill){4}\$"

publish_command '{"TYP":1,"CMD":20}'
expect_responses "readiness: MIL on, two codes, evap and EGR not yet complete" document 120 20 "$readiness"
check "readiness asked as 02 01 01 + fill" [ "$(bus_frame_count "^7DF#020101($fill){5}\$")" -eq 1 ]
publish_command '{"TYP":1,"CMD":21}'
expect_responses "freeze frame of P0420, in catalogue order" document 120 21 "$frame"
# The code (02), the bitmap (00), the six frozen PIDs.
check "eight freeze frame requests, 03 02 PID 00 + fill" [ "$(bus_frame_count "$frame_request")" -eq 8 ]
check "the ECU answered 42 02 00 04 20" some_bus_frame '^7E8#054202000420'

publish_command '{"TYP":1,"CMD":4}'
expect_responses "clear: DTC_CLEARED" status 120 4:DTC_CLEARED
publish_command '{"TYP":1,"CMD":20}'
expect_responses "readiness after the clear: every supported monitor incomplete" document 120 20 "$cleared"
publish_command '{"TYP":1,"CMD":21}'
expect_responses "freeze frame after the clear: none" document 120 21 \
    '{"TYP":1,"CMD":21,"DATA":{"DTC":"","VALUES":{}}}'
check "only the code was asked of the cleared frame" [ "$(bus_frame_count "$frame_request")" -eq 9 ]
expect_responses "idle again: heartbeat" status 120 ECU

end_scenario
