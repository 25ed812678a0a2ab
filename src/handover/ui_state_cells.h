// What the UI's retained state document reports, as the worker threads last
// set it: the CAN link, the vehicle, the configuration, the command under
// way and the relay lines. Written by the OBD and relay threads, read by the
// MQTT link thread, which publishes the document. Nothing here waits or
// calls upwards: a change bumps a version number and pokes the one listener
// (the link thread's wake-up), registered by whoever publishes.
#pragma once

#include <cstdint>
#include <string>

enum class config_state : int { ok, restored, invalid };

struct known_vehicle {
    std::string addr;  // the engine ECU's answering identifier in hex, e.g. "7E8"
    std::string proto; // e.g. "ISO15765-4 (11-bit)"
    std::string vin;   // "" when the car gave none
};

struct ui_state {
    bool link_up = false;
    bool vehicle_known = false;
    known_vehicle vehicle;
    config_state config = config_state::ok;
    int busy = 0;              // the command under way, 0 for none
    std::uint32_t relays = 0;  // bit n: line DOn on
    std::uint64_t version = 0; // bumped by every change
};

// ---- writers (each stores only when the value changes) ------------------------------
void set_ui_link_up(bool up);
void set_ui_vehicle(const known_vehicle &vehicle);
void forget_ui_vehicle();
void set_ui_config(config_state state);
config_state ui_config();
void set_ui_busy(int cmd);
void set_ui_relays(std::uint32_t lines);

// ---- reader --------------------------------------------------------------------------
std::uint64_t ui_state_version();
ui_state ui_state_snapshot(); // with its version

// `wake` is called after every change, on the writer's thread: it must only
// note the change and return (no waiting, no publication).
void set_ui_state_listener(void (*wake)());
