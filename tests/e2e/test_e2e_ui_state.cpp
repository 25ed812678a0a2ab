// What a UI learns without asking: the retained state document and its last
// will, and the answers to commands that carry an "ID". Real broker, the
// daemon process, the ECU simulator.
#include "e2e_rig.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr const char *STATE_TOPIC = "dt/app_to_ui/state";
constexpr const char *OFFLINE = R"({"ONLINE":0})";
constexpr const char *NO_RELAYS = R"({"DO0":0,"DO1":0,"DO2":0,"DO3":0,"DO4":0,"DO5":0,"DO6":0,"DO7":0,)"
                                  R"("DO8":0,"DO9":0,"DO10":0,"DO11":0})";
constexpr const char *DEMO_ECU = R"x({"ADDR":"7E8","PROTO":"ISO15765-4 (11-bit)","VIN":"ZZZDEM0PETR0L0001"})x";

std::string state(const char *link, const std::string &ecu, int busy = 0, const std::string &relays = NO_RELAYS)
{
    return std::string(R"({"ONLINE":1,"LINK":")") + link + R"(","ECU":)" + ecu +
           R"(,"CONFIG":"ok","BUSY":)" + std::to_string(busy) + R"(,"RELAYS":)" + relays + "}";
}

// A client of its own that subscribes to the state topic now, as a UI
// starting late would.
struct late_subscriber {
    mqtt_test_client client;
    explicit late_subscriber(e2e_rig &rig) : client(rig.broker_uri())
    {
        EXPECT_TRUE(client.connect());
        EXPECT_TRUE(client.subscribe(STATE_TOPIC));
    }
    // Waits for `payload` on the state topic, skipping older states.
    bool sees(const std::string &payload)
    {
        return client.wait_for(payload, E2E_TIMEOUT).has_value();
    }
};

// {"TYP":1,"CMD":cmd,"ERROR":error,"ID":id,"DATA":{"msg":word[,"why":why]}}
std::string answer(int cmd, int error, const char *id, const char *word, const char *why = nullptr)
{
    std::string text = "{\"TYP\":1,\"CMD\":" + std::to_string(cmd) + ",\"ERROR\":" + std::to_string(error) +
                       ",\"ID\":\"" + id + "\",\"DATA\":{\"msg\":\"" + word + "\"";
    if (why)
        text += std::string(",\"why\":\"") + why + "\"";
    return text + "}}";
}

std::string command(int cmd, const char *id)
{
    return "{\"TYP\":1,\"CMD\":" + std::to_string(cmd) + ",\"ID\":\"" + id + "\"}";
}

// A live document is not the end of its stream; every other document is.
bool is_terminal(const std::string &payload)
{
    const std::string word = e2e_status_word(payload);
    if (word.empty())
        return e2e_message_cmd(payload) != 2;
    return word == "DTC_CLEARED" || word == "COMER" || word == "NAK" || word == "DONE";
}

// Every message on the response topic until `last` came, grouped by the ID
// they carry (found by text: an ID is never escaped).
std::map<std::string, std::vector<std::string>> answers_until(e2e_rig &rig, const std::string &last,
                                                              std::initializer_list<const char *> ids)
{
    std::map<std::string, std::vector<std::string>> by_id;
    while (auto m = rig.next_message()) {
        for (const char *id : ids) {
            if (m->payload.find(std::string("\"ID\":\"") + id + "\"") != std::string::npos ||
                m->payload.find(std::string("\"ID\": \"") + id + "\"") != std::string::npos)
                by_id[id].push_back(m->payload);
        }
        if (m->payload == last)
            break;
    }
    return by_id;
}

// Exactly one terminal answer per ID, and it is the last one carrying it.
void expect_one_terminal_each(const std::map<std::string, std::vector<std::string>> &by_id)
{
    for (const auto &[id, messages] : by_id) {
        ASSERT_FALSE(messages.empty()) << id;
        std::size_t terminals = 0;
        for (const auto &m : messages)
            terminals += is_terminal(m) ? 1 : 0;
        EXPECT_EQ(terminals, 1u) << id;
        EXPECT_TRUE(is_terminal(messages.back())) << id << ": " << messages.back();
    }
}

} // namespace

// The state across a connect, a car found and lost, a relay packet and a
// stop; each time a client subscribing late gets it at once.
TEST(E2eUiState, RetainedStateFollowsTheDaemonUntilItStops)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    EXPECT_TRUE(late_subscriber(rig).sees(state("down", "null")));

    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    EXPECT_TRUE(late_subscriber(rig).sees(state("up", DEMO_ECU)));

    ASSERT_TRUE(rig.send(R"({"TYP":2,"DATA":{"params":{"DO":{"DO3":1,"DO11":1}}}})"));
    std::string relays = NO_RELAYS;
    relays.replace(relays.find("\"DO3\":0"), 7, "\"DO3\":1");
    relays.replace(relays.find("\"DO11\":0"), 8, "\"DO11\":1");
    EXPECT_TRUE(late_subscriber(rig).sees(state("up", DEMO_ECU, 0, relays)));

    rig.set_unplugged(true);
    ASSERT_TRUE(rig.skip_until(e2e_status("NOECU", 0, 1)));
    EXPECT_TRUE(late_subscriber(rig).sees(state("up", "null", 0, relays)));

    late_subscriber watching(rig);
    ASSERT_TRUE(watching.sees(state("up", "null", 0, relays)));
    ASSERT_TRUE(rig.daemon().terminate(SIGTERM, E2E_TIMEOUT));
    EXPECT_TRUE(watching.sees(OFFLINE));
    // Nothing after it: the stop is the last word on the topic.
    EXPECT_TRUE(watching.client.take_all().empty());
    EXPECT_TRUE(late_subscriber(rig).sees(OFFLINE));
}

// A daemon that dies without a word leaves its last will behind once the
// broker's keep-alive (20 s, one and a half of it at most) runs out.
TEST(E2eUiState, KilledDaemonIsAnnouncedOfflineByItsWill)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    late_subscriber watching(rig);
    ASSERT_TRUE(watching.sees(state("down", "null")));
    ASSERT_TRUE(rig.daemon().terminate(SIGKILL, E2E_TIMEOUT));
    EXPECT_TRUE(watching.client.wait_for(OFFLINE, 60s));
}

// IDs through a CMD 1, a clear that gives up, commands replaced in the
// mailbox, an unknown command and a live stream ended by a stop: each ends
// with exactly one terminal answer, after which nothing carries its ID.
TEST(E2eUiState, EveryCommandWithAnIdEndsWithOneTerminalAnswer)
{
    ecu_profile vehicle = e2e_vehicle("demo_petrol_11bit.json");
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    // No vehicle known yet: a clear is refused, a reading ends with COMER.
    ASSERT_TRUE(rig.send(command(4, "c0")));
    ASSERT_TRUE(rig.skip_until(answer(4, 1, "c0", "NAK", "no ECU")));

    ASSERT_TRUE(rig.plug_in(vehicle));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));

    // The document of a CMD 1 carries the ID right after "CMD".
    ASSERT_TRUE(rig.send(command(1, "r1")));
    ASSERT_TRUE(rig.skip_until(answer(1, 0, "r1", "ACK")));
    ASSERT_TRUE(rig.skip_until(R"({"TYP":1,"CMD":1,"ID":"r1","DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],)"
                               R"("PRMDTC":["P0420"]}})"));

    // A clear keeps the session busy for seconds after the ECU confirmed:
    // the two commands sent meanwhile are replaced by the third, unknown one.
    ASSERT_TRUE(rig.send(command(4, "k1")));
    ASSERT_TRUE(rig.skip_until(answer(4, 0, "k1", "ACK")));
    ASSERT_TRUE(rig.send(command(20, "s1")));
    ASSERT_TRUE(rig.send(command(21, "s2")));
    ASSERT_TRUE(rig.send(R"({"TYP":1,"CMD":99,"ID":"u-1.x:y_z"})"));
    const std::string unknown = answer(99, 1, "u-1.x:y_z", "NAK", "unknown command");
    auto by_id = answers_until(rig, unknown, {"k1", "s1", "s2", "u-1.x:y_z"});
    EXPECT_EQ(by_id["s1"], std::vector<std::string>{answer(20, 1, "s1", "NAK", "superseded")});
    EXPECT_EQ(by_id["s2"], std::vector<std::string>{answer(21, 1, "s2", "NAK", "superseded")});
    EXPECT_EQ(by_id["k1"], std::vector<std::string>{R"({"TYP":1,"CMD":4,"ERROR":0,"ID":"k1","DATA":{"msg":"DTC_CLEARED"}})"});

    // A live stream ended by CMD 3: its documents carry the ID line, then DONE.
    ASSERT_TRUE(rig.send(command(2, "l1")));
    ASSERT_TRUE(rig.skip_until(answer(2, 0, "l1", "ACK")));
    auto live = rig.next_message();
    ASSERT_TRUE(live);
    EXPECT_EQ(live->payload.find("{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"ID\": \"l1\",\n  \"DATA\": {\n"), 0u)
        << live->payload;
    ASSERT_TRUE(rig.send(command(3, "t1")));
    const std::string stopped = answer(3, 0, "t1", "DONE");
    by_id = answers_until(rig, stopped, {"l1", "t1"});
    EXPECT_EQ(by_id["l1"].back(), answer(2, 0, "l1", "DONE"));
    EXPECT_EQ(by_id["t1"], (std::vector<std::string>{answer(3, 0, "t1", "ACK"), stopped}));
    expect_one_terminal_each(by_id);

    // A clear the ECU refuses: NORES for each attempt, then DONE, ERROR 1.
    ecu_profile refusing = vehicle;
    refusing.ecus[0].clear_result = ecu_clear_result::refuse;
    ecu_sim_set_profile(rig.sim(), refusing);
    ASSERT_TRUE(rig.send(command(4, "g1")));
    const std::string given_up = answer(4, 1, "g1", "DONE");
    const std::string nores = R"({"TYP":1,"CMD":4,"ERROR":1,"ID":"g1","DATA":{"msg":"NORES"}})";
    by_id = answers_until(rig, given_up, {"g1"});
    EXPECT_EQ(by_id["g1"], (std::vector<std::string>{answer(4, 0, "g1", "ACK"), nores, nores, nores, nores, given_up}));

    // Nothing carries an ended ID afterwards; answers without one are today's.
    ASSERT_TRUE(rig.send_command(1));
    while (auto m = rig.next_message()) {
        EXPECT_EQ(m->payload.find("\"ID\""), std::string::npos) << m->payload;
        if (e2e_message_cmd(m->payload) == 1)
            break;
    }
}
