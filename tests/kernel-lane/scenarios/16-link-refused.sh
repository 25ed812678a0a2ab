# shellcheck shell=bash
# sudo refuses the daemon's bring-up for a while, as on a board without its
# sudoers rule: the tries back off (at 0, 2, 6, 14, 30 s ...), the log says
# once why, and can0 stays down. Once sudo takes the commands again, the next
# try brings can0 up at the configured bitrate, the log says so once, and the
# vehicle is identified and its heartbeat answered.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
require_board_build || { end_scenario; exit 1; }

board_can_is_up() { ! can_link_down "$BOARD_CAN"; }
refused_tries() { grep -c '^refused [0-9.]* ip link set can0 down$' "$LANE_SUDO_LOG"; }
at_least_refused() { [ "$(refused_tries)" -ge "$1" ]; }

# Seconds between the refused tries, each at least twice the one before it
# (2, 4, 8 s), none sooner.
paced_by_doubling() {
    awk '/^refused / && / down$/ { t[n++] = $2 }
         END { want = 2
               for (i = 1; i < n; i++) { gap = t[i] - t[i-1]; printf "%.1f s\n", gap
                                          if (gap < want - 0.05) bad = 1; want *= 2 }
               exit bad }' "$LANE_SUDO_LOG"
}

ip link set "$BOARD_CAN" down
: > "$LANE_SUDO_LOG"
touch "${LANE_SUDO_REFUSE:?no sudo stand-in in this VM}"
start_board "$VEHICLES/demo_petrol_11bit.json" || { rm -f "$LANE_SUDO_REFUSE"; end_scenario; exit 1; }

check "four bring-ups refused within 30 s" wait_until 30 at_least_refused 4
rm -f "$LANE_SUDO_REFUSE"
check "refused tries paced 2, 4, 8 s apart" paced_by_doubling
check "can0 still down" can_link_down "$BOARD_CAN"
expect_log "the refusal logged with the command and its exit status" 5 \
    'OBD2_ERROR : CAN link bring-up failed: "sudo ip link set can0 down" exited with 1; next try in 2 s'
check "one line for four refusals" [ "$(grep -c 'CAN link bring-up failed' "$SCENARIO_OUT/gateway.log")" -eq 1 ]

check "can0 up within 25 s of sudo taking commands again" wait_until 25 board_can_is_up
expect_log "one line when it is up" 10 "OBD2_INFO : CAN link can0 up again at 500000 bit/s after 4 failed bring-up(s)"
if [ "$CAN_MODE" = controller ]; then
    check "can0 at 500000 and ERROR-ACTIVE" can_link_is "$BOARD_CAN" 500000 ERROR-ACTIVE
fi
expect_startup
check "four refused tries, then no more" [ "$(refused_tries)" -eq 4 ]

end_scenario
status=$?
# The next scenario finds can0 up and sudo taking commands, whatever happened above.
rm -f "$LANE_SUDO_REFUSE"
board_can_is_up || board_can_up
exit $status
