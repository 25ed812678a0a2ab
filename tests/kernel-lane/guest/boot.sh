#!/bin/bash
# Runs inside the lane VM, chrooted into the writable overlay of the host's root.
# Prepares what the board has (can0, five GPIO chips, sudo, loopback) and then
# runs the command script handed over by run-in-vm.sh. Exit status: the
# command's, or 125 when the VM itself could not be prepared.
set -uo pipefail

export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8 TERM=dumb
export LANE_OUT=/lane-out
cd /

readonly gpio_banks=5
readonly gpio_lines_per_bank=32

say() {
    local uptime
    read -r uptime _ < /proc/uptime
    echo "lane-boot: [$uptime s] $*"
}
die() { say "FATAL: $*"; exit 125; }

# Everything in the VM runs as root; the daemon still calls "sudo ip ...", so a
# sudo that simply runs its command stands in for the real one, and notes it
# in $LANE_SUDO_LOG for the scenarios. It lives in the tmpfs overlay only,
# never on the host. Under systemd (LANE_INIT=systemd) the real sudo and its
# rules are what is being tested, so there is none. While $LANE_SUDO_REFUSE
# exists it refuses every command as a sudo without its rule would (exit
# status 1), noting "refused <seconds since the epoch> <command>".
install_sudo_shim() {
    export LANE_SUDO_LOG=/run/lane-sudo.log LANE_SUDO_REFUSE=/run/lane-sudo.refuse
    cat > /usr/local/sbin/sudo <<SHIM
#!/bin/sh
while [ \$# -gt 0 ]; do
    case "\$1" in
        -u|-g|-C|-D|-h|-p|-r|-t|-U) shift 2 ;;
        --) shift; break ;;
        -*) shift ;;
        *) break ;;
    esac
done
if [ -e $LANE_SUDO_REFUSE ]; then
    echo "refused \$(date +%s.%N) \$*" >> $LANE_SUDO_LOG
    exit 1
fi
echo "\$*" >> $LANE_SUDO_LOG
exec "\$@"
SHIM
    chmod 0755 /usr/local/sbin/sudo
    : > "$LANE_SUDO_LOG"
}

# The CAN mode the VM was started in (lane.can= on the kernel command line).
can_mode_of_vm() {
    local arg mode=vcan
    for arg in $(cat /proc/cmdline); do
        case "$arg" in lane.can=*) mode=${arg#lane.can=} ;; esac
    done
    echo "$mode"
}

# Controller mode: qemu's two SJA1000 controllers. can0 is the board's side
# and stays down, as after a board's boot, until someone sets its bitrate;
# the second one is the vehicle's side, up at the bitrate a vehicle uses.
# vcan mode: one vcan can0, up, carries both sides.
export LANE_CAN LANE_VEHICLE_CAN LANE_VEHICLE_BITRATE=500000
bring_up_can() {
    LANE_CAN=$(can_mode_of_vm)
    case "$LANE_CAN" in
        controller)
            LANE_VEHICLE_CAN=can1
            local iface driver
            for iface in can0 "$LANE_VEHICLE_CAN"; do
                wait_for_path "/sys/class/net/$iface" || die "$iface did not appear (kvaser_pci)"
                driver=$(basename "$(readlink -f "/sys/class/net/$iface/device/driver")")
                [ "$driver" = kvaser_pci ] || die "$iface is driven by $driver, not kvaser_pci"
            done
            ip link set "$LANE_VEHICLE_CAN" up type can bitrate "$LANE_VEHICLE_BITRATE" ||
                die "cannot bring $LANE_VEHICLE_CAN up at $LANE_VEHICLE_BITRATE bit/s"
            say "can0 (board) down, $LANE_VEHICLE_CAN (vehicle) up at $LANE_VEHICLE_BITRATE bit/s: SJA1000 on kvaser_pci"
            ;;
        vcan)
            LANE_VEHICLE_CAN=can0
            ip link add can0 type vcan || die "cannot create can0 (vcan)"
            ip link set can0 up || die "cannot bring can0 up"
            say "can0 up: vcan"
            ;;
        *) die "unknown CAN mode $LANE_CAN" ;;
    esac
}

bring_up_network() {
    ip link set lo up || die "cannot bring lo up"
    bring_up_can
}

wait_for_path() {
    local path=$1 tries=100
    while [ ! -e "$path" ] && [ $tries -gt 0 ]; do
        sleep 0.1
        tries=$((tries - 1))
    done
    [ -e "$path" ]
}

# A machine's own GPIO controllers (the arm64 virt board has a PL061 as
# gpiochip0) are unbound from their drivers, so that gpio-sim's banks get the
# numbers the relay wiring names.
release_machine_gpio_chips() {
    local chip parent
    for chip in /sys/bus/gpio/devices/gpiochip*; do
        [ -e "$chip" ] || continue
        parent=$(readlink -f "$chip/..")
        [ -e "$parent/driver/unbind" ] || die "cannot release $(basename "$chip")"
        basename "$parent" > "$parent/driver/unbind" || die "cannot unbind $(basename "$parent")"
        say "released $(basename "$chip") of $(basename "$parent")"
    done
}

# One gpio-sim device with five banks of 32 lines: /dev/gpiochip0..4, the
# chips the relay wiring names.
create_gpio_chips() {
    local cfg=/sys/kernel/config dev bank n
    release_machine_gpio_chips
    mountpoint -q "$cfg" || mount -t configfs configfs "$cfg" || die "cannot mount configfs"
    dev=$cfg/gpio-sim/lane
    mkdir "$dev" || die "gpio-sim is not available in configfs"
    for ((n = 0; n < gpio_banks; n++)); do
        bank=$dev/bank$n
        mkdir "$bank" || die "cannot create $bank"
        echo "$gpio_lines_per_bank" > "$bank/num_lines" || die "cannot size $bank"
    done
    echo 1 > "$dev/live" || die "cannot set the gpio-sim device live"
    for ((n = 0; n < gpio_banks; n++)); do
        wait_for_path "/dev/gpiochip$n" || die "/dev/gpiochip$n did not appear"
        [ "$(cat "$dev/bank$n/chip_name")" = "gpiochip$n" ] ||
            die "bank$n became $(cat "$dev/bank$n/chip_name"), not gpiochip$n"
        say "bank$n -> gpiochip$n on $(cat "$dev/dev_name")"
    done
}

[ -d /run/systemd/system ] || install_sudo_shim
bring_up_network
create_gpio_chips

command_script=${1:?command script missing}
say "ready; running $command_script"
echo "@@LANE-COMMAND@@"
bash "$command_script"
status=$?
say "command exited with status $status"
exit $status
