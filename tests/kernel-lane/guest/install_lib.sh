# shellcheck shell=bash
# Helpers for the install lane's scenarios (sourced after lib.sh; runs inside
# the VM booted with systemd, as root). The scenarios run in order and pass
# what they find on through $INSTALL_STATE.

readonly SERVICE=diag-gateway.service
readonly SERVICE_USER=diag-gateway
readonly SHIPPED_CONFIG=/usr/share/diag-gateway
readonly INSTALL_STATE=$LANE_OUT/install-state
mkdir -p "$INSTALL_STATE"

# The packages under test, in install order.
package_files() {
    local arch
    arch=$(dpkg --print-architecture)
    ls "$LANE_DEB_DIR"/diag-gateway_*_"$arch".deb "$LANE_DEB_DIR"/diag-gateway-tools_*_"$arch".deb
}

# not_installed PACKAGE: unknown to dpkg, or known with nothing left (purged).
not_installed() {
    local state
    state=$(dpkg-query -W -f '${db:Status-Status}' "$1" 2>/dev/null) || return 0
    [ "$state" = not-installed ]
}

service_pid() { systemctl show -P MainPID "$SERVICE"; }

service_running() {
    [ "$(systemctl is-active "$SERVICE")" = active ] && [ "$(service_pid)" != 0 ]
}

# service_restarted_from OLD_PID: runs again, under another pid.
service_restarted_from() {
    local pid
    service_running && pid=$(service_pid) && [ "$pid" != "$1" ]
}

# journal_has UNIT_OR_TAG TEXT: this boot's journal of a unit (-u) or a syslog
# identifier (-t, e.g. sudo) holds TEXT.
journal_has() {
    local selector=$1 text=$2
    journalctl -b --no-pager -o cat "$selector" | grep -qF -- "$text"
}

# owner_mode PATH: "user:group mode" as stat shows them, e.g. "root:root 644".
owner_mode() { stat -c '%U:%G %a' "$1"; }

can0_is_up() { ip link show can0 | grep -q ',UP'; }

# A listing of where maintainer scripts leave things outside the packages'
# own file lists (which are checked on their own): path, type, owner and
# mode under /etc, /opt and the state folders, and the account files' sums.
# Left out: systemd's timer stamps, and the linger folder that logind makes
# when apt first asks it to hold off a shutdown.
system_snapshot() {
    find /etc /opt /var/lib/systemd /var/lib/sudo -xdev \
        \( -path /var/lib/systemd/timers -o -path /var/lib/systemd/linger \) -prune \
        -o -printf '%p %y %U:%G %m\n' 2>/dev/null | sort
    sha256sum /etc/passwd /etc/group /etc/shadow /etc/gshadow
}
