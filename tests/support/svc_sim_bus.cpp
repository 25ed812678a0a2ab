#include "svc_sim_bus.h"

#include "obd2/can_link.h"

#include <gtest/gtest.h>

ecu_profile svc_profile(ecu_addressing addressing)
{
    ecu_profile profile;
    profile.name = "svc-test";
    profile.addressing = addressing;
    ecu_node_profile ecu;
    ecu.name = "ECM";
    if (addressing == ecu_addressing::bits11) {
        profile.functional_id = 0x7DF;
        ecu.response_id = 0x7E8;
        ecu.physical_id = 0x7E0;
    } else {
        profile.functional_id = 0x18DB33F1;
        ecu.response_id = 0x18DAF110;
        ecu.physical_id = 0x18DA10F1;
    }
    profile.ecus.push_back(ecu);
    return profile;
}

svc_sim_bus::svc_sim_bus(const ecu_profile &profile)
    : socket_env_("DIAG_GW_CAN_SOCKET", dir_.file("can.sock")), functional_id_(profile.functional_id)
{
    std::string error;
    sim_ = ecu_sim_start_unix(profile, dir_.file("can.sock"), ecu_sim_options{}, error);
    if (!sim_) {
        ADD_FAILURE() << "ECU simulator did not start: " << error;
        return;
    }
    sockets_open_ = init_can_socket() == 1;
    if (!sockets_open_)
        ADD_FAILURE() << "init_can_socket failed on " << dir_.file("can.sock");
    // Both rows must be connected before the first request, or its answer
    // could pass by a socket the simulator does not know yet.
    else if (!ecu_sim_wait_for_clients(*sim_, 2, std::chrono::seconds(10)))
        ADD_FAILURE() << "the daemon's sockets did not reach the simulator";
}

svc_sim_bus::~svc_sim_bus()
{
    close_can_sockets();
    sim_.reset();
}

std::vector<ecu_sim_record> svc_sim_bus::request_records()
{
    std::vector<ecu_sim_record> records;
    for (const ecu_sim_record &record : ecu_sim_requests(*sim_)) {
        if ((record.frame.can_id & CAN_EFF_MASK) == functional_id_)
            records.push_back(record);
    }
    return records;
}

std::vector<std::vector<std::uint8_t>> svc_sim_bus::requests(std::size_t at_least)
{
    if (at_least > 0) {
        bool arrived = ecu_sim_wait_for(
            *sim_,
            [&](const std::vector<ecu_sim_record> &frames) {
                std::size_t n = 0;
                for (const ecu_sim_record &record : frames)
                    n += (record.frame.can_id & CAN_EFF_MASK) == functional_id_ ? 1 : 0;
                return n >= at_least;
            },
            std::chrono::seconds(30));
        EXPECT_TRUE(arrived) << "fewer than " << at_least << " requests reached the simulator";
    }
    std::vector<std::vector<std::uint8_t>> payloads;
    for (const ecu_sim_record &record : request_records())
        payloads.emplace_back(record.frame.data, record.frame.data + record.frame.len);
    return payloads;
}

std::vector<ecu_time> svc_sim_bus::request_times()
{
    std::vector<ecu_time> times;
    for (const ecu_sim_record &record : request_records())
        times.push_back(record.time);
    return times;
}

std::vector<can_frame> svc_sim_bus::tester_frames()
{
    std::vector<can_frame> frames;
    for (const ecu_sim_record &record : ecu_sim_requests(*sim_))
        frames.push_back(record.frame);
    return frames;
}
