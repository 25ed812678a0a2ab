// An ECU played by a thread of the test on a socketpair that stands in for
// one of can_cfg's sockets: every request is answered through a function, in
// ISO-TP framing (single frame; or first frame, the daemon's flow control,
// then consecutive frames). Frames are written with blocking writes, so even
// a 4095-byte answer reaches a slowly reading daemon without loss.
//
//   svc_scripted_ecu ecu(1, [](const svc_bytes &req) -> std::optional<svc_bytes> {
//       if (req == svc_bytes{0x09, 0x02}) return vin_answer;
//       return std::nullopt;  // silence
//   });
#pragma once

#include "svc_ecus.h"

#include "can_peer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

using svc_bytes = std::vector<std::uint8_t>;

class svc_scripted_ecu {
public:
    // Request payload (service byte first) -> answer payload, or nullopt for
    // no answer. Called on the ECU thread.
    using answer_fn = std::function<std::optional<svc_bytes>(const svc_bytes &request)>;

    svc_scripted_ecu(int addr_mode, answer_fn answer);
    ~svc_scripted_ecu(); // stops the thread, puts can_cfg's socket back
    svc_scripted_ecu(const svc_scripted_ecu &) = delete;
    svc_scripted_ecu &operator=(const svc_scripted_ecu &) = delete;

    // Payloads of the requests received so far.
    std::vector<svc_bytes> requests() const;

private:
    void run();
    void send_answer(const svc_bytes &payload);
    can_frame frame(std::initializer_list<std::uint8_t> head, const std::uint8_t *data, std::size_t n) const;

    can_test_peer peer_;
    canid_t response_id_;
    answer_fn answer_;
    std::atomic<bool> stop_{false};
    mutable std::mutex requests_mutex_;
    std::vector<svc_bytes> requests_; // guarded by requests_mutex_
    std::thread thread_;
};
