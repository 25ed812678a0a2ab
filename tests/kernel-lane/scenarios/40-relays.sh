# shellcheck shell=bash
# The twelve relay outputs on the simulated GPIO chips: all lines high (relays
# off) once the daemon runs, each relay packet drives exactly its wired line
# low, and relays a packet does not name keep their level.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
require_board_build || { end_scenario; exit 1; }

# No vehicle: the OBD side keeps looking for one while the relays are driven.
start_board "" || { end_scenario; exit 1; }

all_off="1 1 1 1 1 1 1 1 1 1 1 1"
check "all twelve lines high after start" wait_until 60 relay_levels_are "$all_off"
expect_log "relay outputs initialised" 10 "DO_INFO: GPIO initialized, all 12 relays set HIGH."
# The daemon is connected once it publishes; its subscription follows at once.
expect_responses "daemon connected to the broker" status 60 NOECU

# relay_packet N=STATE...: a relay packet naming the given relays.
relay_packet() {
    local members=() pair
    for pair in "$@"; do members+=("\"DO${pair%%=*}\":${pair#*=}"); done
    local IFS=,
    echo "{\"TYP\":2,\"DATA\":{\"params\":{\"DO\":{${members[*]}}}}}"
}

# levels_with_on N...: the expected levels when exactly relays N... are on.
levels_with_on() {
    local levels=(1 1 1 1 1 1 1 1 1 1 1 1) n
    for n in "$@"; do levels[$n]=0; done
    echo "${levels[*]}"
}

# apply PACKET EXPECTED_LEVELS
apply() {
    publish_command "$1" && wait_until 20 relay_levels_are "$2"
}

# The first packet may race the daemon's subscription: repeat it (it is
# idempotent) until it takes effect.
first_packet_applied() {
    local tries=10
    until [ $tries -eq 0 ]; do
        publish_command "$1" && wait_until 3 relay_levels_are "$2" && return 0
        tries=$((tries - 1))
    done
    return 1
}
check "DO0, DO5, DO11 on: exactly their lines low" \
    first_packet_applied "$(relay_packet 0=1 5=1 11=1)" "$(levels_with_on 0 5 11)"
check "DO5 off, DO3 on: relays 0 and 11 keep their level" \
    apply "$(relay_packet 5=0 3=1)" "$(levels_with_on 0 3 11)"

for n in 0 1 2 3 4 5 6 7 8 9 10 11; do
    states=()
    for m in 0 1 2 3 4 5 6 7 8 9 10 11; do states+=("$m=$([ "$m" = "$n" ] && echo 1 || echo 0)"); done
    set -- ${RELAY_WIRING[$n]}
    check "only relay $n on: gpiochip$1 line $2 low, the other eleven high" \
        apply "$(relay_packet "${states[@]}")" "$(levels_with_on "$n")"
done

# A packet without its DO object changes nothing; the next one still works.
publish_command '{"TYP":2,"DATA":{"params":{}}}'
expect_log "packet without DO rejected" 20 "DO_ERROR: DO object missing"
check "lines unchanged by the rejected packet" relay_levels_are "$(levels_with_on 11)"
check "member names in any letter case, non-numbers ignored" \
    apply '{"TYP":2,"DATA":{"params":{"DO":{"do7":1,"DO11":"0","Do2":2}}}}' "$(levels_with_on 2 7 11)"
check "all relays off again" apply "$(relay_packet 2=0 7=0 11=0)" "$all_off"

end_scenario
