#include "e2e_rig.h"

#include "c_handles.h"

#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

constexpr const char *RESPONSE_TOPIC = "dt/app_to_ui/resp";
constexpr const char *COMMAND_TOPIC = "dt/ui_to_app/cmd";

bool is_heartbeat(const std::string &word) { return word == "ECU" || word == "NOECU"; }

std::string log_tail(const std::string &log, std::size_t lines)
{
    std::size_t at = log.size();
    for (std::size_t n = 0; n <= lines && at != std::string::npos && at > 0; ++n)
        at = log.rfind('\n', at - 1);
    return at == std::string::npos ? log : log.substr(at + 1);
}

} // namespace

std::string e2e_status(const char *word, int cmd, int error)
{
    return "{\"TYP\":1,\"CMD\":" + std::to_string(cmd) + ",\"ERROR\":" + std::to_string(error) +
           ",\"DATA\":{\"msg\":\"" + word + "\"}}";
}

std::string e2e_status_word(const std::string &payload)
{
    json_ptr doc(cJSON_Parse(payload.c_str()));
    if (!doc || !cJSON_GetObjectItemCaseSensitive(doc.get(), "ERROR"))
        return "";
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(doc.get(), "DATA");
    const cJSON *msg = cJSON_GetObjectItemCaseSensitive(data, "msg");
    return cJSON_IsString(msg) ? msg->valuestring : "";
}

int e2e_message_cmd(const std::string &payload)
{
    json_ptr doc(cJSON_Parse(payload.c_str()));
    const cJSON *cmd = cJSON_GetObjectItemCaseSensitive(doc.get(), "CMD");
    return cJSON_IsNumber(cmd) ? cmd->valueint : -1;
}

ecu_profile e2e_vehicle(const char *file_name)
{
    ecu_profile profile;
    std::string error;
    const std::string path = std::string(DIAG_SOURCE_DIR) + "/configs/vehicles/" + file_name;
    if (!ecu_profile_from_file(path, profile, error)) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), error.c_str());
        std::abort();
    }
    return profile;
}

std::vector<std::uint8_t> e2e_scanned_pids(const std::vector<ecu_sim_record> &records)
{
    std::vector<std::uint8_t> pids;
    for (const auto &r : records) {
        const can_frame &f = r.frame;
        if (r.from_tester && f.can_dlc >= 3 && f.data[0] == 0x02 && f.data[1] == 0x01 &&
            f.data[2] != 0x00)
            pids.push_back(f.data[2]);
    }
    return pids;
}

e2e_rig::e2e_rig(bool ui_outlives_broker_restarts)
    : ui_persistent_(ui_outlives_broker_restarts), broker_(ui_persistent_),
      ui_(broker_.uri(), "", ui_persistent_)
{
    EXPECT_TRUE(ui_.connect());
    EXPECT_TRUE(ui_.subscribe(RESPONSE_TOPIC));
}

e2e_rig::~e2e_rig()
{
    // Sanitizer builds of the daemon report into its log and may go on.
    const std::string log = daemon_.running() ? daemon_.log() : std::string();
    for (const char *report : {"runtime error:", "AddressSanitizer", "ThreadSanitizer", "LeakSanitizer"}) {
        if (log.find(report) != std::string::npos)
            ADD_FAILURE() << "the daemon reported \"" << report << "\"; see " << daemon_.log_path();
    }
    if (::testing::Test::HasFailure() && daemon_.running())
        std::fprintf(stderr, "---- daemon log (%s), last lines ----\n%s\n",
                     daemon_.log_path().c_str(), log_tail(daemon_.log(), 80).c_str());
}

bool e2e_rig::start_daemon(const std::string &config_json, const std::string &default_json, bool wait_for_link)
{
    if (!e2e_write_config(config_dir(), config_json, default_json))
        return false;
    std::string error;
    e2e_daemon_options options = e2e_daemon_layout(dir_.path(), broker_.uri());
    options.environment = daemon_env_;
    if (!daemon_.start(options, error)) {
        ADD_FAILURE() << error;
        return false;
    }
    return !wait_for_link ||
           daemon_.wait_for_log("INTR_MQTT_INFO : successfully Subscribed topics", E2E_TIMEOUT) !=
               std::string::npos;
}

bool e2e_rig::plug_in(const ecu_profile &profile)
{
    std::string error;
    sim_ = ecu_sim_start_unix(profile, dir_.file("can.sock"), ecu_sim_options{}, error);
    if (!sim_)
        ADD_FAILURE() << "ecu simulator: " << error;
    return sim_ != nullptr;
}

void e2e_rig::set_unplugged(bool unplugged) { ecu_sim_set_connected(*sim_, !unplugged); }

bool e2e_rig::reconnect_ui()
{
    const auto deadline = std::chrono::steady_clock::now() + E2E_TIMEOUT;
    while (!ui_.connect()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ui_persistent_ || ui_.subscribe(RESPONSE_TOPIC);
}

bool e2e_rig::send(const std::string &json) { return ui_.publish(COMMAND_TOPIC, json); }

bool e2e_rig::send_command(int cmd)
{
    return send("{\"TYP\":1,\"CMD\":" + std::to_string(cmd) + "}");
}

std::optional<mqtt_test_message> e2e_rig::next_message(std::chrono::milliseconds timeout)
{
    return ui_.wait_for([](const mqtt_test_message &) { return true; }, timeout);
}

::testing::AssertionResult e2e_rig::expect_words(std::initializer_list<const char *> words)
{
    const auto deadline = std::chrono::steady_clock::now() + E2E_TIMEOUT;
    bool started = false;
    std::string seen;
    for (const char *expected : words) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            auto message = left.count() > 0 ? next_message(left) : std::nullopt;
            if (!message)
                return ::testing::AssertionFailure()
                       << "no message while waiting for " << expected << "; got so far:" << seen;
            const std::string word = e2e_status_word(message->payload);
            seen += " " + (word.empty() ? message->payload : word);
            if (word == expected)
                break;
            if (!started && is_heartbeat(word))
                continue;
            return ::testing::AssertionFailure()
                   << "expected " << expected << ", got " << message->payload << "; sequence:" << seen;
        }
        started = true;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult e2e_rig::skip_until(const std::string &payload,
                                               std::vector<std::string> *skipped,
                                               std::chrono::milliseconds timeout)
{
    // One deadline for the whole search: heartbeats keep arriving meanwhile.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        auto message = left.count() > 0 ? next_message(left) : std::nullopt;
        if (!message)
            return ::testing::AssertionFailure() << "no message " << payload;
        if (message->payload == payload)
            return ::testing::AssertionSuccess();
        if (skipped)
            skipped->push_back(message->payload);
    }
}
