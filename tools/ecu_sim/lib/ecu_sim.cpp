// Temporary stubs: the simulator's API compiles and links while the real
// implementation is written.
#include "ecu_sim.h"

bool ecu_profile_from_json(const std::string &, ecu_profile &, std::string &error)
{
    error = "not implemented yet";
    return false;
}
bool ecu_profile_from_file(const std::string &, ecu_profile &, std::string &error)
{
    error = "not implemented yet";
    return false;
}
bool ecu_dtc_from_text(const std::string &, dtc_bytes &) { return false; }
void ecu_engine_reset(ecu_engine &engine, const ecu_profile &profile)
{
    engine.profile = profile;
    engine.nodes.assign(profile.ecus.size(), {});
}
void ecu_engine_abort_transfers(ecu_engine &) {}
void ecu_engine_receive_frame(ecu_engine &, const can_frame &, ecu_time, std::vector<can_frame> &) {}
void ecu_engine_advance(ecu_engine &, ecu_time, std::vector<can_frame> &) {}
std::optional<ecu_time> ecu_engine_next_deadline(const ecu_engine &) { return std::nullopt; }
void ecu_engine_receive_payload(ecu_engine &, std::size_t, const byte_vector &, ecu_time) {}
void ecu_engine_take_payloads(ecu_engine &, ecu_time, std::vector<ecu_payload_out> &) {}
std::optional<byte_vector> ecu_engine_answer(ecu_engine &, std::size_t, const byte_vector &)
{
    return std::nullopt;
}
bool ecu_single_frame_payload(const can_frame &, byte_vector &) { return false; }
std::string ecu_describe_frame(const can_frame &) { return {}; }
std::string ecu_describe_request(const byte_vector &) { return {}; }

struct ecu_sim {};
void ecu_sim_stop(ecu_sim *sim) { delete sim; }
ecu_sim_ptr ecu_sim_start_unix(const ecu_profile &, const std::string &, const ecu_sim_options &,
                               std::string &error)
{
    error = "not implemented yet";
    return nullptr;
}
ecu_sim_ptr ecu_sim_start_socketcan(const ecu_profile &, const std::string &, const ecu_sim_options &,
                                    std::string &error)
{
    error = "not implemented yet";
    return nullptr;
}
void ecu_sim_set_connected(ecu_sim &, bool) {}
bool ecu_sim_is_connected(ecu_sim &) { return true; }
void ecu_sim_set_profile(ecu_sim &, const ecu_profile &) {}
ecu_profile ecu_sim_profile(ecu_sim &) { return {}; }
bool ecu_sim_inject_frame(ecu_sim &, const can_frame &, bool) { return false; }
bool ecu_sim_inject_record(ecu_sim &, const void *, std::size_t) { return false; }
std::vector<ecu_sim_record> ecu_sim_requests(ecu_sim &) { return {}; }
std::vector<ecu_sim_record> ecu_sim_bus_log(ecu_sim &) { return {}; }
void ecu_sim_clear_log(ecu_sim &) {}
bool ecu_sim_wait_for_requests(ecu_sim &, std::size_t, std::chrono::milliseconds) { return false; }
bool ecu_sim_wait_for(ecu_sim &, const std::function<bool(const std::vector<ecu_sim_record> &)> &,
                      std::chrono::milliseconds)
{
    return false;
}
std::size_t ecu_sim_client_count(ecu_sim &) { return 0; }
bool ecu_sim_wait_for_clients(ecu_sim &, std::size_t, std::chrono::milliseconds) { return false; }
