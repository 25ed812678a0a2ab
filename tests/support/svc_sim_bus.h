// The ECU simulator in-process on a socket of its own, with the daemon's two
// CAN sockets (can_cfg) connected to it, for the diagnostic-service tests.
//
//   ecu_profile profile = svc_profile(ecu_addressing::bits11);
//   profile.ecus[0].pids[0x0C] = {{0x1A, 0xF8}};
//   svc_sim_bus bus(profile);
//   ... call a service ...
//   bus.request_payloads()  -> every frame the daemon sent, data bytes only
#pragma once

#include "svc_ecus.h"

#include "ecu_sim.h"
#include "temp_dir.h"

#include <cstdint>
#include <string>
#include <vector>

// One ECU (0x7E8 / 0x7E0, or 0x18DAF110 / 0x18DA10F1 for 29-bit) that knows
// nothing yet.
ecu_profile svc_profile(ecu_addressing addressing);

class svc_sim_bus {
public:
    // Starts the simulator and opens the daemon's sockets on it; records a
    // test failure (ok() false) when either is impossible.
    explicit svc_sim_bus(const ecu_profile &profile);
    ~svc_sim_bus(); // closes the daemon's sockets, stops the simulator
    svc_sim_bus(const svc_sim_bus &) = delete;
    svc_sim_bus &operator=(const svc_sim_bus &) = delete;

    bool ok() const { return sim_ != nullptr && sockets_open_; }
    ecu_sim &sim() { return *sim_; }

    // Data bytes of every request frame (to the functional identifier) the
    // daemon put on the bus, oldest first; flow-control frames are left out.
    // Waits until at least `at_least` are there.
    std::vector<std::vector<std::uint8_t>> requests(std::size_t at_least = 0);
    // Arrival times of those frames.
    std::vector<ecu_time> request_times();
    // Every frame the daemon sent, flow control included.
    std::vector<can_frame> tester_frames();

private:
    temp_dir dir_{"svc-sim-"};
    scoped_env socket_env_;
    ecu_sim_ptr sim_;
    bool sockets_open_ = false;
    canid_t functional_id_;

    std::vector<ecu_sim_record> request_records();
};
