# shellcheck shell=bash
# The service under systemd's supervision: Type=notify (active only once the
# daemon sent READY=1), its status line in StatusText, and the watchdog: the
# daemon's process frozen with SIGSTOP stops confirming it, so systemd kills
# it (SIGABRT) and starts it again within WatchdogSec plus a margin, and the
# new daemon answers on the broker again.
LANE_BUILD_DIR=/usr/bin
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
# shellcheck source-path=SCRIPTDIR source=../guest/install_lib.sh
source "$LANE_REPO/tests/kernel-lane/guest/install_lib.sh"

readonly WATCHDOG_SECONDS=30
# systemd's kill, the core dump and RestartSec=2s, on an emulated machine.
readonly RESTART_MARGIN=30

property() { systemctl show -P "$1" "$SERVICE"; }
status_text_is() { [ "$(property StatusText)" = "$1" ]; }

check "service runs" wait_until 60 service_running || { end_scenario; exit 1; }
check "Type=notify: active (running) only through READY=1" \
    [ "$(property Type) $(property ActiveState) $(property SubState)" = "notify active running" ]
check "WatchdogSec=${WATCHDOG_SECONDS}s" [ "$(property WatchdogUSec)" = "${WATCHDOG_SECONDS}s" ]
note "status line: $(property StatusText)"

check "response capture subscribed" start_response_capture
start_ecu_sim /usr/share/diag-gateway-tools/vehicles/demo_petrol_11bit.json
check "StatusText: broker, ECU and addressing, activity, relays" \
    wait_until 120 status_text_is "broker connected, ECU 7E8 11-bit, idle, relays ready"
check "systemctl status shows it" bash -c \
    "systemctl status --no-pager $SERVICE | grep -qF 'Status: \"broker connected, ECU 7E8 11-bit, idle, relays ready\"'"

old=$(service_pid)
restarts=$(property NRestarts)
cursor=$(mqtt_log count)
frozen_at=${EPOCHREALTIME/[.,]/}
check "daemon frozen with SIGSTOP" kill -STOP "$old"
check "killed by the watchdog and started again within WatchdogSec + ${RESTART_MARGIN} s" \
    wait_until $((WATCHDOG_SECONDS + RESTART_MARGIN)) service_restarted_from "$old"
note "restarted $(( (${EPOCHREALTIME/[.,]/} - frozen_at) / 1000000 )) s after the freeze"
restarts_grew() { [ "$(property NRestarts)" -gt "$restarts" ]; }
check "counted as a restart after a failure" wait_until 10 restarts_grew
check "the journal names the watchdog" journal_has "-u$SERVICE" "Watchdog timeout"
expect_responses "after the watchdog's restart: MODEDETECTED, GOTINFO, GOTPID, SAVSUC" \
    status 240 --consecutive MODEDETECTED GOTINFO GOTPID SAVSUC
expect_responses "and the heartbeat: ECU" status 60 ECU
check "StatusText again" wait_until 60 status_text_is "broker connected, ECU 7E8 11-bit, idle, relays ready"

end_scenario
