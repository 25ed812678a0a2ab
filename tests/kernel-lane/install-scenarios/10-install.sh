# shellcheck shell=bash
# dpkg -i of the board package and the tools on a system that already has
# its GPIO chips and can0, as a board has: the user, the configuration under
# /opt/zuk/configs, the sudoers rule (exactly three commands), the udev rule
# applied to the chips that were there before, the broker restarted with its
# drop-in and still on loopback only, and the service enabled and running.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
# shellcheck source-path=SCRIPTDIR source=../guest/install_lib.sh
source "$LANE_REPO/tests/kernel-lane/guest/install_lib.sh"

chips_are() {
    local want=$1 chip
    shift
    for chip in "$@"; do
        [ "$(stat -c '%G %a' "/dev/gpiochip$chip")" = "$want" ] || {
            echo "/dev/gpiochip$chip: $(stat -c '%G %a' "/dev/gpiochip$chip"), want $want" >&2
            return 1
        }
    done
}
check "GPIO chips are root's only before the install" chips_are "root 600" 0 1 2 3 4
# Lane speed, not what is tested: dpkg's database comes as one archive onto
# a tmpfs (see run-install-lane.sh), and man-db's trigger, which would
# re-index every manual page of the host, is off.
mount -t tmpfs -o mode=0755 tmpfs /var/lib/dpkg && tar -C /var/lib -xf "$LANE_DPKG_DB" ||
    fail "dpkg database onto tmpfs"
rm -f /var/lib/man-db/auto-update
system_snapshot > "$INSTALL_STATE/before.txt"
check "not installed yet" not_installed diag-gateway

mapfile -t debs < <(package_files)
note "installing ${debs[*]##*/}"
check "dpkg -i installs both packages" dpkg -i "${debs[@]}"
dpkg -L diag-gateway diag-gateway-tools | sort -u > "$INSTALL_STATE/package-files.txt"

system_user() {
    local entry
    entry=$(getent passwd "$SERVICE_USER") || return 1
    IFS=: read -r _ _ uid gid _ _ shell <<< "$entry"
    [ "$uid" -lt 1000 ] && [ "$shell" = /usr/sbin/nologin ] &&
        [ "$(getent group "$gid" | cut -d: -f1)" = "$SERVICE_USER" ]
}
check "system user diag-gateway with its own group and no login" system_user

check "config folder: the service user's, nobody else may write" \
    [ "$(owner_mode /opt/zuk/configs)" = "diag-gateway:diag-gateway 755" ]
check "config.json is the shipped one, the service user's" \
    cmp "$SHIPPED_CONFIG/config.json" /opt/zuk/configs/config.json
check "config.json owner" [ "$(owner_mode /opt/zuk/configs/config.json)" = "diag-gateway:diag-gateway 644" ]
check "factory default in place, root's" \
    cmp "$SHIPPED_CONFIG/default_config.json" /opt/zuk/configs/default_config/default_config.json
check "factory default folder and file owner" [ "$(owner_mode /opt/zuk/configs/default_config) $(
    owner_mode /opt/zuk/configs/default_config/default_config.json)" = "root:root 755 root:root 644" ]

check "sudoers drop-in is root's, 0440, and sudo accepts the whole configuration" \
    bash -c '[ "$(stat -c "%U:%G %a" /etc/sudoers.d/diag-gateway)" = "root:root 440" ] && visudo -c -q'
# sudo -l COMMAND: allowed or not, without running it.
sudo_allows() { runuser -u "$SERVICE_USER" -- sudo -n -l "$@" >/dev/null 2>&1; }
sudo_refuses() { ! sudo_allows "$@"; }
for allowed in "ip link set can0 down" "ip link set can0 up type can bitrate 125000" \
               "ip link set can0 up"; do
    # shellcheck disable=SC2086
    check "sudo allows the service user: $allowed" sudo_allows $allowed
done
for refused in "ip link set can0 up type can bitrate 500000 restart-ms 100" \
               "ip link set can0 up type can bitrate 0x100" "ip link set can1 up" \
               "ip link set can0 type can bitrate 500000" "ip link delete can0" \
               "id"; do
    # shellcheck disable=SC2086
    check "sudo refuses the service user: $refused" sudo_refuses $refused
done

check "udev rule: gpiochip0, 3 and 4 belong to the group now" \
    wait_until 20 chips_are "diag-gateway 660" 0 3 4
check "gpiochip1 and 2 stay root's" chips_are "root 600" 1 2

broker_on_loopback_only() {
    local addresses
    addresses=$(ss -ltnH 'sport = :1883' | awk '{ print $4 }' | sort | tr '\n' ' ')
    [ "$addresses" = "127.0.0.1:1883 [::1]:1883 " ] || {
        echo "broker listens on: ${addresses:-nothing}" >&2
        return 1
    }
}
check "broker drop-in installed" [ -f /etc/mosquitto/conf.d/diag-gateway.conf ]
check "mosquitto runs with the drop-in" wait_until 60 systemctl is-active --quiet mosquitto.service
check "mosquitto still listens on loopback only" wait_until 20 broker_on_loopback_only
check "service enabled" systemctl is-enabled --quiet "$SERVICE"
check "service started by the install" wait_until 60 service_running

end_scenario
