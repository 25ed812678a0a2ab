# shellcheck shell=bash
# The lane's own plumbing: SocketCAN on the board's and the vehicle's side
# (the controllers' link states, can-utils, raw and ISO-TP sockets across the
# bus), the five simulated GPIO chips driven through libgpiod v2, the sudo
# stand-in and a real broker on 127.0.0.1:1883.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"

probes=$LANE_REPO/tests/kernel-lane/probes

# cangen_reaches_candump FROM TO: frames sent on FROM arrive on TO.
cangen_reaches_candump() {
    local from=$1 to=$2 dump=$SCENARIO_OUT/candump-$1-$2.txt tries=100
    candump -L -n 5 "$to" > "$dump" &
    local dump_pid=$!
    # candump may not be bound yet when the first frames go out: keep sending
    # single frames until it has seen five.
    while kill -0 "$dump_pid" 2>/dev/null && [ $tries -gt 0 ]; do
        cangen -n 1 -I 7DF -L 8 -D 0201000000000000 "$from" || break
        sleep 0.1
        tries=$((tries - 1))
    done
    kill "$dump_pid" 2>/dev/null
    wait "$dump_pid" || return 1
    [ "$(grep -c " $to 7DF#0201000000000000" "$dump")" -eq 5 ]
}

if [ "$CAN_MODE" = controller ]; then
    driven_by_kvaser_pci() {
        local iface
        for iface; do
            [ "$(basename "$(readlink -f "/sys/class/net/$iface/device/driver")")" = kvaser_pci ] || return 1
        done
    }
    check "can0 and $VEHICLE_CAN are SJA1000 controllers (kvaser_pci)" driven_by_kvaser_pci can0 "$VEHICLE_CAN"
    check "can0 down after boot" can_link_down can0
    check "$VEHICLE_CAN (vehicle) up at $VEHICLE_BITRATE, ERROR-ACTIVE" \
        can_link_is "$VEHICLE_CAN" "$VEHICLE_BITRATE" ERROR-ACTIVE
    refuses_up_without_bitrate() { ! ip link set can0 up 2>/dev/null && can_link_down can0; }
    check "can0 refuses up without a bitrate" refuses_up_without_bitrate
    check "sudo stand-in runs ip link set can0 up type can bitrate 500000" \
        sudo ip link set can0 up type can bitrate 500000
    check "can0 up at 500000, ERROR-ACTIVE" can_link_is can0 500000 ERROR-ACTIVE
    check "sudo stand-in runs ip link set can0 up on an up controller" sudo ip link set can0 up
    check "can0's transmit queue holds 10 frames (qlen 10)" bash -c 'ip link show can0 | grep -q " qlen 10$"'
    check "frames from can0 arrive on $VEHICLE_CAN" cangen_reaches_candump can0 "$VEHICLE_CAN"
    check "frames from $VEHICLE_CAN arrive on can0" cangen_reaches_candump "$VEHICLE_CAN" can0
    check "raw and ISO-TP (11/29-bit) between can0 and $VEHICLE_CAN" \
        "${LANE_PYTHON[@]}" "$probes/can_probe.py" can0 "$VEHICLE_CAN"
    check "sudo stand-in runs ip link set can0 down" sudo ip link set can0 down
    check "can0 down again, as after boot" can_link_down can0
    check "the stand-in noted the commands in order" [ "$(sudo_commands)" = "$(printf '%s\n' \
        "ip link set can0 up type can bitrate 500000" "ip link set can0 up" "ip link set can0 down")" ]
else
    vcan_is_up() { ip -details link show can0 | grep -q 'vcan' && ip link show can0 | grep -q ',UP'; }
    check "can0 is an up vcan" vcan_is_up
    check "cangen frames arrive in candump" cangen_reaches_candump can0 can0
    check "raw and ISO-TP sockets (11/29-bit) work" "${LANE_PYTHON[@]}" "$probes/can_probe.py" can0
    # On a vcan the bitrate step of the board's bring-up fails; the up steps must not.
    check "sudo stand-in runs ip link set can0 down" sudo ip link set can0 down
    if sudo ip link set can0 up type can bitrate 500000 2>/dev/null; then
        note "ip link set can0 up type can bitrate accepted (unexpected on a vcan)"
    fi
    check "sudo stand-in runs ip link set can0 up" sudo ip link set can0 up
    check "can0 is up again" vcan_is_up
fi

all_chips_present() {
    local n
    for n in 0 1 2 3 4; do
        [ -c "/dev/gpiochip$n" ] || return 1
        [ -e "$SIM_GPIO_SYSFS/gpiochip$n/sim_gpio31/value" ] || return 1
    done
}
check "gpiochip0..4 exist with 32 simulated lines each" all_chips_present

if [ -x "${LANE_PROBES:-}/gpio_probe" ]; then
    for chip_line in "0 7" "3 30" "4 31"; do
        set -- $chip_line
        check "libgpiod drives /dev/gpiochip$1 line $2" \
            "$LANE_PROBES/gpio_probe" "/dev/gpiochip$1" "$2" "$SIM_GPIO_SYSFS/gpiochip$1/sim_gpio$2/value"
    done
else
    fail "gpio_probe not built (run the lane through run-lane.sh)"
fi

check "mosquitto answers on 127.0.0.1:1883" start_broker

retained_message_comes_back() {
    mosquitto_pub -h "$BROKER_HOST" -p "$BROKER_PORT" -t lane/smoke -m hello -r -q 1 &&
        [ "$(mosquitto_sub -h "$BROKER_HOST" -p "$BROKER_PORT" -t lane/smoke -C 1 -W 10)" = hello ]
}
check "publish and subscribe through the broker" retained_message_comes_back

end_scenario
