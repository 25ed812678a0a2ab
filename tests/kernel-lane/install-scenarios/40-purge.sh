# shellcheck shell=bash
# apt purge takes away what the packages brought and made: their files, the
# service and its enablement, the user and group, the configuration folder,
# the GPIO chips' group (back to root's) and the broker's drop-in (the broker
# keeps running). What the install lane saw before the install is what it
# sees after the purge.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
# shellcheck source-path=SCRIPTDIR source=../guest/install_lib.sh
source "$LANE_REPO/tests/kernel-lane/guest/install_lib.sh"

# The VM has no network and a purge needs no archive: apt reads no package
# lists (which would take minutes under emulation), only what is installed.
no_archive=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts=/dev/null)
check "apt purge of both packages" apt-get "${no_archive[@]}" -y -q purge diag-gateway diag-gateway-tools

check "diag-gateway gone from dpkg's books" not_installed diag-gateway
check "diag-gateway-tools gone from dpkg's books" not_installed diag-gateway-tools
no_daemon_left() { ! pgrep -x diag-gateway >/dev/null; }
unit_unknown() { ! systemctl cat "$SERVICE" >/dev/null 2>&1; }
accounts_gone() { ! getent passwd "$SERVICE_USER" && ! getent group "$SERVICE_USER"; }
check "no daemon process left" no_daemon_left
check "the service is unknown to systemd" unit_unknown
check "user and group removed" accounts_gone

left_over() {
    local path found=0
    while read -r path; do
        [ -e "$path" ] || [ -L "$path" ] || continue
        [ -d "$path" ] && continue # folders (and /lib) are shared with other packages
        echo "still there: $path" >&2
        found=1
    done < "$INSTALL_STATE/package-files.txt"
    return $found
}
check "every file of the packages removed" left_over
check "/opt/zuk removed (it held nothing else)" [ ! -e /opt/zuk ]
chips_root_only() {
    local chip
    for chip in 0 1 2 3 4; do
        [ "$(stat -c '%G %a' "/dev/gpiochip$chip")" = "root 600" ] || {
            echo "/dev/gpiochip$chip: $(stat -c '%G %a' "/dev/gpiochip$chip")" >&2
            return 1
        }
    done
}
check "GPIO chips back to root's" wait_until 20 chips_root_only
check "broker drop-in removed" [ ! -e /etc/mosquitto/conf.d/diag-gateway.conf ]
check "broker still runs" systemctl is-active --quiet mosquitto.service

system_snapshot > "$INSTALL_STATE/after.txt"
same_system() {
    diff "$INSTALL_STATE/before.txt" "$INSTALL_STATE/after.txt" >&2
}
check "the system as before the install (/etc, /opt, /var/lib, units, rules, accounts)" same_system

end_scenario
