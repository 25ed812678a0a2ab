# shellcheck shell=bash
# The installed service at work: its own user with no capability of its own,
# the sandbox (read-only system, private /tmp, no home, only its GPIO chips),
# can0 brought up by the daemon through sudo, the start-up status words with
# the ECU simulator (from diag-gateway-tools) on can0, trouble codes, a relay
# line, and systemd restarting it after "systemctl restart" and "kill -9".
# The simulator comes from the tools package.
LANE_BUILD_DIR=/usr/bin
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
# shellcheck source-path=SCRIPTDIR source=../guest/install_lib.sh
source "$LANE_REPO/tests/kernel-lane/guest/install_lib.sh"

check "service runs" wait_until 60 service_running || { end_scenario; exit 1; }
pid=$(service_pid)
status_field() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$pid/status"; }
check "runs as diag-gateway" [ "$(ps -o user= -p "$pid")" = "$SERVICE_USER" ]
check "holds no capability itself" [ "$(status_field CapEff) $(status_field CapPrm) $(status_field CapAmb)" = \
    "0000000000000000 0000000000000000 0000000000000000" ]
# CAP_SETGID 6, CAP_SETUID 7, CAP_NET_ADMIN 12, CAP_AUDIT_WRITE 29
check "bounding set: what the root ip and sudo need, nothing more" \
    [ "$(status_field CapBnd)" = "$(printf '%016x' $(( (1 << 6) | (1 << 7) | (1 << 12) | (1 << 29) )))" ]
check "no_new_privs off, so that sudo works" [ "$(status_field NoNewPrivs)" = 0 ]
note "$(systemd-analyze security --no-pager "$SERVICE" 2>/dev/null | tail -n 1)"

in_service_mounts() { nsenter -t "$pid" -m -- "$@"; }
probe=.lane-probe-$$
check "config folder writable in the sandbox" \
    in_service_mounts sh -c "touch /opt/zuk/configs/$probe && rm /opt/zuk/configs/$probe"
read_only_in_sandbox() { ! in_service_mounts touch "$1/$probe" 2>/dev/null; }
for path in /etc /usr /var/lib /opt/zuk /dev/shm; do
    check "$path read-only in the sandbox" read_only_in_sandbox "$path"
done
touch "/tmp/$probe"
check "/tmp is its own" in_service_mounts test ! -e "/tmp/$probe"
rm -f "/tmp/$probe"
check "/root is empty in the sandbox" [ -z "$(in_service_mounts ls -A /root)" ]

# A process put into the service's control group meets its device policy.
in_service_cgroup() {
    local procs
    procs=/sys/fs/cgroup$(awk -F: '$1 == 0 { print $3 }' "/proc/$pid/cgroup")/cgroup.procs
    bash -c 'echo $$ > "$1" && shift && exec "$@"' _ "$procs" "$@"
}
opens() { in_service_cgroup sh -c "exec 3< $1" 2>/dev/null; }
all_open() { local dev; for dev; do opens "$dev" || return 1; done; }
none_opens() { local dev; for dev; do ! opens "$dev" || return 1; done; }
check "device policy: gpiochip0, 3 and 4 open" all_open /dev/gpiochip0 /dev/gpiochip3 /dev/gpiochip4
check "device policy: gpiochip1 and /dev/mem do not, even for root" none_opens /dev/gpiochip1 /dev/mem

check "response capture subscribed" start_response_capture
start_ecu_sim /usr/share/diag-gateway-tools/vehicles/demo_petrol_11bit.json
check "ECU simulator runs" wait_until 20 grep -q . "$SCENARIO_OUT/ecu-sim.log"

# After a restart only the new process's words count: the old one may have
# been in the middle of a bring-up of its own (a heartbeat missed under load
# starts one), which would spoil the order the expectations look for. The
# old process is gone by now and the new one needs seconds (its broker
# connection, the three sudo calls, detection) before its first bring-up
# word; a moment lets the old one's last words reach the capture.
skip_old_process_words() {
    sleep 0.5
    cursor=$(mqtt_log count)
}

# can0 down while no daemon runs: only the new daemon's bring-up can set it
# up again (a running one would bring it up itself), and every word after the
# cursor is the new process's.
old=$(service_pid)
check "systemctl stop" systemctl stop "$SERVICE"
ip link set "$BOARD_CAN" down
cursor=$(mqtt_log count)
check "systemctl start" systemctl start "$SERVICE"
check "a new daemon process" wait_until 30 service_restarted_from "$old"
pid=$(service_pid)
check "can0 brought up by the daemon through sudo" wait_until 60 can0_is_up
check "sudo logged the bring-up as the service user's" \
    journal_has -tsudo "diag-gateway : PWD=/ ; USER=root ; COMMAND=/usr/sbin/ip link set can0 up"
sudo_never_complained() {
    ! journalctl -b --no-pager -o cat -u "$SERVICE" -t diag-gateway | grep '^sudo:'
}
check "sudo never refused the daemon" sudo_never_complained
# sudo_ran COMMAND: sudo logged exactly COMMAND for the service user.
sudo_ran() {
    journalctl -b --no-pager -o cat -tsudo |
        grep -qxF "$SERVICE_USER : PWD=/ ; USER=root ; COMMAND=/usr/sbin/$1"
}
for command in "ip link set can0 down" "ip link set can0 up type can bitrate 500000" "ip link set can0 up"; do
    check "sudo ran the bring-up's $command" sudo_ran "$command"
done
# sudo looks the host's name up on every call; a name that does not resolve
# costs each call a DNS wait and a line in the daemon's log.
host_name_resolved() { ! journalctl -b --no-pager -o cat | grep -F 'unable to resolve host'; }
check "no \"unable to resolve host\" from the bring-up's sudo calls" host_name_resolved
if [ "$CAN_MODE" = controller ]; then
    check "can0 up at 500000 and ERROR-ACTIVE through the packaged sudoers rule" \
        can_link_is "$BOARD_CAN" 500000 ERROR-ACTIVE
fi

expect_startup
check "relay lines held: all high (relays off)" wait_until 60 relay_levels_are "1 1 1 1 1 1 1 1 1 1 1 1"
check "the daemon says it has the GPIO lines" journal_has "-u$SERVICE" "DO_INFO: GPIO initialized, all 12 relays set HIGH."
publish_command '{"TYP":1,"CMD":1}'
expect_responses "CMD 1 answered with the trouble codes" dtc 120 \
    '{"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}}'
publish_command '{"TYP":2,"DATA":{"params":{"DO":{"DO0":1}}}}'
check "relay packet DO0 on: gpiochip4 line 10 low, the rest high" \
    wait_until 20 relay_levels_are "0 1 1 1 1 1 1 1 1 1 1 1"
check "ecu_info.json written by the daemon, the service user's" \
    bash -c '[ "$(stat -c %U /opt/zuk/configs/ecu_info.json)" = diag-gateway ]'
check "ecu_info.json holds the vehicle" ecu_info_has VID=ZZZDEM0PETR0L0001

old=$pid
check "systemctl restart again" systemctl restart "$SERVICE"
skip_old_process_words
check "restarted: a new daemon process" wait_until 30 service_restarted_from "$old"
expect_responses "after the restart: MODEDETECTED, GOTINFO, GOTPID, SAVSUC again" \
    status 240 --consecutive MODEDETECTED GOTINFO GOTPID SAVSUC
check "after the restart every relay is off again" wait_until 60 relay_levels_are "1 1 1 1 1 1 1 1 1 1 1 1"

old=$(service_pid)
restarts=$(systemctl show -P NRestarts "$SERVICE")
check "kill -9 of the daemon" kill -KILL "$old"
skip_old_process_words
check "systemd started it again" wait_until 30 service_restarted_from "$old"
check "counted as a restart after a failure" \
    [ "$(systemctl show -P NRestarts "$SERVICE")" -eq $((restarts + 1)) ]
expect_responses "after kill -9: MODEDETECTED, GOTINFO, GOTPID, SAVSUC again" \
    status 240 --consecutive MODEDETECTED GOTINFO GOTPID SAVSUC

end_scenario
