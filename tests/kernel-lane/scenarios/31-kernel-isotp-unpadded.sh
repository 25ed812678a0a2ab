# shellcheck shell=bash
# The kernel ISO-TP mode without padding: the ECU's single frames and last
# consecutive frames are only as long as their data, which the daemon must
# read by their length, not as eight bytes.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
require_board_build || { end_scenario; exit 1; }

unpadded=$SCENARIO_OUT/demo_petrol_unpadded.json
"${LANE_PYTHON[@]}" - "$VEHICLES/demo_petrol_11bit.json" "$unpadded" <<'PY'
import json, sys
profile = json.load(open(sys.argv[1]))
profile["padding"] = False
json.dump(profile, open(sys.argv[2], "w"), indent=2)
PY

start_board "$unpadded" --kernel-isotp || { end_scenario; exit 1; }
fill=$(config_fill_hex)

expect_startup
check "ecu_info.json holds the VIN read from unpadded frames" ecu_info_has \
    VID=ZZZDEM0PETR0L0001 CID=DEMOCAL-0001 CVN=01A1B2C3D4 ECUNM=ECM-EngineControl LIVE_PIDS=17
check "ECU single frames only as long as their data" ecu_frame_lengths 7E8 unpadded
check "the daemon's requests stay padded" \
    every_bus_frame 7DF "02[0-9A-F]{4}($fill){5}|01[0-9A-F]{2}($fill){6}"

publish_command '{"TYP":1,"CMD":1}'
expect_responses "trouble codes from unpadded frames" dtc 120 \
    '{"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}}'
publish_command '{"TYP":1,"CMD":2}'
expect_responses "live data from unpadded frames" live 120 \
    ENGRPM='820.00|850.00|1500.00|2000.00|2400.00|3000.00' SPD='0.00|32.00|48.00|65.00|80.00|30.00' \
    COLTMP='89.00|90.00|91.00' ENGLD THRTPS INTTMP='30.00|31.00' FLLVL CNTMDVOL='14.20|14.24|14.16'
publish_command '{"TYP":1,"CMD":3}'
expect_responses "idle again after CMD 3" status 120 ECU
# The final answer 01 44 comes in a two-byte frame.
publish_command '{"TYP":1,"CMD":4}'
expect_responses "clear answered in unpadded frames" status 120 4:DTC_CLEARED
check "clear request sent three times (two 0x78 answers)" [ "$(bus_frame_count "^7DF#0104($fill){6}$")" -eq 3 ]

end_scenario
