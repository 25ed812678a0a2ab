// Everything an end-to-end test needs around the daemon process: a private
// mosquitto, a UI client subscribed to the response topic, a config folder
// and CAN socket path of its own, and the ECU simulator in-process (so the
// test can unplug the vehicle or look at the requests it got).
//
//   e2e_rig rig;
//   ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
//   ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
//   EXPECT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
//   rig.send_command(1);
#pragma once

#include "broker.h"
#include "e2e_daemon.h"
#include "ecu_sim.h"
#include "mqtt_test_client.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Generous: a loaded 2-core machine, sanitizer builds.
constexpr std::chrono::milliseconds E2E_TIMEOUT{30000};

// {"TYP":1,"CMD":<cmd>,"ERROR":<error>,"DATA":{"msg":"<word>"}}
std::string e2e_status(const char *word, int cmd = 0, int error = 0);
// The word of a status packet, "" for any other message.
std::string e2e_status_word(const std::string &payload);
// "CMD" of a message (-1 when it has none or is not JSON).
int e2e_message_cmd(const std::string &payload);

// A vehicle profile from configs/vehicles/ of the source tree; aborts the
// test program when it cannot be loaded.
ecu_profile e2e_vehicle(const char *file_name);

// Service 01 PIDs other than 00 (the detection and heartbeat request) that
// the tester asked for in `records`.
std::vector<std::uint8_t> e2e_scanned_pids(const std::vector<ecu_sim_record> &records);

class e2e_rig {
public:
    // `ui_outlives_broker_restarts`: the broker keeps the UI's session and
    // queues what the daemon publishes while the UI is away; after a
    // restart, reconnect_ui() resumes it without losing a message.
    explicit e2e_rig(bool ui_outlives_broker_restarts = false);
    ~e2e_rig(); // on a failed test, prints the tail of the daemon log

    // Writes the configuration (and a valid default), starts the daemon and
    // waits until its MQTT link has subscribed, so that nothing it publishes
    // from then on is missed. No vehicle yet: the daemon retries its CAN
    // sockets until plug_in().
    bool start_daemon(const std::string &config_json,
                      const std::string &default_json = e2e_standard_config(), bool wait_for_link = true);
    // NAME=value entries added to the daemon's environment at its next start.
    void set_daemon_environment(std::vector<std::string> entries) { daemon_env_ = std::move(entries); }
    // Starts the ECU simulator on the rig's socket.
    bool plug_in(const ecu_profile &profile);
    // Simulator running but silent (true) or answering again (false).
    void set_unplugged(bool unplugged);

    // Connects the UI again after the broker came back (retrying for a while).
    bool reconnect_ui();

    bool send(const std::string &json);
    bool send_command(int cmd);

    // The oldest message not yet taken, waiting for it.
    std::optional<mqtt_test_message> next_message(std::chrono::milliseconds timeout = E2E_TIMEOUT);
    // Takes messages in arrival order and checks that the status words come
    // exactly in this order; heartbeat words ("ECU", "NOECU") before the
    // first expected word are skipped unless expected themselves.
    ::testing::AssertionResult expect_words(std::initializer_list<const char *> words);
    // Skips messages until one equal to `payload`; the skipped ones are
    // appended to `skipped` when given.
    ::testing::AssertionResult skip_until(const std::string &payload,
                                          std::vector<std::string> *skipped = nullptr,
                                          std::chrono::milliseconds timeout = E2E_TIMEOUT);

    std::string config_dir() const { return dir_.file("configs"); }
    std::string broker_uri() const { return broker_.uri(); }
    test_broker &broker() { return broker_; }
    std::string ecu_info_path() const { return dir_.file("configs/ecu_info.json"); }
    ecu_sim &sim() { return *sim_; }
    e2e_daemon &daemon() { return daemon_; }
    mqtt_test_client &ui() { return ui_; }

private:
    temp_dir dir_{"diag-e2e-"};
    bool ui_persistent_;
    test_broker broker_;
    mqtt_test_client ui_;
    ecu_sim_ptr sim_;
    e2e_daemon daemon_;
    std::vector<std::string> daemon_env_;
};
