// diag-gateway-cli as a person or a script runs it: the real binary as a
// child process, against a real mosquitto. First against a daemon this test
// plays itself (every byte the CLI sends is checked, every kind of answer
// given), then against the daemon with the ECU simulator.
#include "e2e_rig.h"

#include "c_handles.h"
#include "child_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr const char *CMD_TOPIC = "dt/ui_to_app/cmd";
constexpr const char *RESP_TOPIC = "dt/app_to_ui/resp";
constexpr const char *STATE_TOPIC = "dt/app_to_ui/state";
constexpr const char *ONLINE_STATE =
    R"j({"ONLINE":1,"LINK":"up","ECU":{"ADDR":"7E8","PROTO":"ISO15765-4 (11-bit)","VIN":"1T9AB12C3DE456789"},)j"
    R"("CONFIG":"ok","BUSY":0,"RELAYS":{"DO0":0,"DO1":0,"DO2":0,"DO3":0,"DO4":0,"DO5":0,"DO6":0,"DO7":0,)"
    R"("DO8":0,"DO9":0,"DO10":0,"DO11":0}})";
// Far above any answer the tests wait for; a hang shows as a failure, not as
// a stuck test program.
constexpr auto CLI_RUN_LIMIT = 240s;

struct cli_result {
    int status = -1; // exit status; -1 when killed or still running at the limit
    std::string out;
    std::string err;
    std::vector<std::string> lines() const
    {
        std::vector<std::string> all;
        std::istringstream stream(out);
        for (std::string line; std::getline(stream, line);)
            all.push_back(line);
        return all;
    }
};

// The CLI as a child process, standard output and error into files.
class cli_process {
public:
    explicit cli_process(std::vector<std::string> args)
    {
        std::vector<char *> argv{const_cast<char *>(DIAG_GATEWAY_CLI_BIN)};
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string out = dir_.file("out"), err = dir_.file("err");
        pid_ = fork();
        if (pid_ == 0) {
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, STDOUT_FILENO);
            dup2(e, STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~cli_process()
    {
        if (pid_ > 0 && !wait_child_exit(pid_, 0ms)) {
            kill(pid_, SIGKILL);
            wait_child_exit(pid_, 10s);
        }
    }
    void signal(int number) { kill(pid_, number); }
    // Waits until the standard output so far holds `text`.
    bool wait_for_output(const std::string &text, std::chrono::milliseconds timeout = 30s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (read_text_file(dir_.file("out")).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    cli_result finish(std::chrono::milliseconds limit = CLI_RUN_LIMIT)
    {
        cli_result result;
        int status = 0;
        if (!wait_child_exit(pid_, limit, &status)) {
            kill(pid_, SIGKILL);
            wait_child_exit(pid_, 10s);
        } else if (WIFEXITED(status)) {
            result.status = WEXITSTATUS(status);
        }
        pid_ = -1;
        result.out = read_text_file(dir_.file("out"));
        result.err = read_text_file(dir_.file("err"));
        return result;
    }

private:
    temp_dir dir_{"diag-cli-"};
    pid_t pid_ = -1;
};

std::vector<std::string> with_broker(const std::string &uri, std::vector<std::string> args)
{
    args.insert(args.begin(), {"--broker", uri});
    return args;
}

cli_result run_cli(const std::string &uri, std::vector<std::string> args)
{
    return cli_process(with_broker(uri, std::move(args))).finish();
}

std::string id_of(const std::string &payload)
{
    json_ptr doc(cJSON_Parse(payload.c_str()));
    const cJSON *id = cJSON_GetObjectItemCaseSensitive(doc.get(), "ID");
    return cJSON_IsString(id) ? id->valuestring : "";
}

// The daemon's side of the protocol, played by the test on a real broker.
struct scripted_daemon {
    test_broker broker;
    mqtt_test_client client{broker.uri()};

    explicit scripted_daemon(const char *state)
    {
        EXPECT_TRUE(client.connect());
        EXPECT_TRUE(client.subscribe(CMD_TOPIC));
        if (state) {
            EXPECT_TRUE(client.publish(STATE_TOPIC, state, 1, true));
        }
    }
    // The next command the CLI sent, which must be one of ours with a valid
    // fresh ID: {"TYP":1,"CMD":<cmd>,"ID":"<id>"}. Returns the ID.
    std::string take_command(int cmd)
    {
        auto message = client.wait_for([](const mqtt_test_message &m) { return m.topic == CMD_TOPIC; }, 60s);
        if (!message) {
            ADD_FAILURE() << "the CLI sent no command";
            return "";
        }
        static const std::regex shape(R"re(\{"TYP":1,"CMD":(\d+),"ID":"([A-Za-z0-9._:-]{1,36})"\})re");
        std::smatch match;
        if (!std::regex_match(message->payload, match, shape) || std::stoi(match[1]) != cmd)
            ADD_FAILURE() << "command " << cmd << " expected, got " << message->payload;
        return match.size() == 3 ? match[2].str() : "";
    }
    void answer(const std::string &payload) { EXPECT_TRUE(client.publish(RESP_TOPIC, payload)); }
    void status(int cmd, int error, const std::string &id, const std::string &word, const std::string &extra = "")
    {
        answer("{\"TYP\":1,\"CMD\":" + std::to_string(cmd) + ",\"ERROR\":" + std::to_string(error) + ",\"ID\":\"" +
               id + "\",\"DATA\":{\"msg\":\"" + word + "\"" + extra + "}}");
    }
};

TEST(CliProtocol, ReadsAnAnswerCarryingItsIdAndPrintsEachAsOneLine)
{
    scripted_daemon daemon(ONLINE_STATE);
    cli_process cli(with_broker(daemon.broker.uri(), {"--json", "codes"}));
    const std::string id = daemon.take_command(1);
    const std::string document =
        R"({"TYP":1,"CMD":1,"ID":")" + id + R"(","DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":[]}})";
    daemon.status(1, 0, id, "ACK");
    daemon.answer(R"({"TYP":1,"CMD":1,"ERROR":0,"DATA":{"msg":"ECU"}})"); // a heartbeat: no ID, not ours
    daemon.status(1, 1, id, "NORES");
    daemon.answer(R"({"TYP":1,"CMD":1,"ID":"someone-else","DATA":{"STRDTC":[],"PNDDTC":[],"PRMDTC":[]}})");
    daemon.answer(document);
    const cli_result result = cli.finish();
    EXPECT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> expected{
        R"({"TYP":1,"CMD":1,"ERROR":0,"ID":")" + id + R"(","DATA":{"msg":"ACK"}})",
        R"({"TYP":1,"CMD":1,"ERROR":1,"ID":")" + id + R"(","DATA":{"msg":"NORES"}})", document};
    EXPECT_EQ(result.lines(), expected);

    // A person gets the codes by kind.
    cli_process person(with_broker(daemon.broker.uri(), {"codes"}));
    const std::string second = daemon.take_command(1);
    EXPECT_NE(second, id) << "every command gets a fresh ID";
    daemon.answer(R"({"TYP":1,"CMD":1,"ID":")" + second +
                  R"(","DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":[]}})");
    const cli_result table = person.finish();
    EXPECT_EQ(table.status, 0);
    EXPECT_EQ(table.out, "Stored:    P0420\nPending:   P0420 U0100\nPermanent: none\n");
}

TEST(CliProtocol, ErrorAnswersExitOneAndSilenceExitsTwo)
{
    scripted_daemon daemon(ONLINE_STATE);
    {
        cli_process cli(with_broker(daemon.broker.uri(), {"clear"}));
        daemon.status(4, 1, daemon.take_command(4), "NAK", R"(,"why":"no ECU")");
        const cli_result result = cli.finish();
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("NAK): no ECU"), std::string::npos) << result.err;
    }
    {
        cli_process cli(with_broker(daemon.broker.uri(), {"readiness"}));
        const std::string id = daemon.take_command(20);
        daemon.status(20, 1, id, "NORES");
        daemon.status(20, 1, id, "DONE");
        const cli_result result = cli.finish();
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("(NORES)"), std::string::npos) << result.err;
    }
    {
        cli_process cli(with_broker(daemon.broker.uri(), {"reload"}));
        const std::string id = daemon.take_command(10);
        daemon.status(10, 0, id, "ACK");
        daemon.status(10, 0, id, "DONE");
        EXPECT_EQ(cli.finish().status, 0);
    }
    {
        cli_process cli(with_broker(daemon.broker.uri(), {"--timeout", "1", "freeze"}));
        daemon.status(21, 0, daemon.take_command(21), "ACK");
        const cli_result result = cli.finish();
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.err.find("no answer"), std::string::npos) << result.err;
    }
    {
        // The daemon's last will arrives while the CLI waits.
        cli_process cli(with_broker(daemon.broker.uri(), {"codes"}));
        daemon.take_command(1);
        EXPECT_TRUE(daemon.client.publish(STATE_TOPIC, R"({"ONLINE":0})", 1, true));
        const cli_result result = cli.finish();
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.err.find("offline"), std::string::npos) << result.err;
        EXPECT_TRUE(daemon.client.take_all().empty()) << "nothing sent after the command";
    }
    EXPECT_EQ(run_cli(daemon.broker.uri(), {"codes"}).status, 2) << "daemon offline";
    const cli_result usage = run_cli(daemon.broker.uri(), {"relay", "12", "on"});
    EXPECT_EQ(usage.status, 64);
    EXPECT_NE(usage.err.find("usage: diag-gateway-cli"), std::string::npos);
    EXPECT_TRUE(daemon.client.take_all().empty()) << "a refused command line sends nothing";

    test_broker empty; // no daemon has ever been on it: no state at all
    EXPECT_EQ(run_cli(empty.uri(), {"--timeout", "1", "state"}).status, 2);
    reserved_port nobody;
    const cli_result no_broker = run_cli(nobody.uri(), {"state"});
    EXPECT_EQ(no_broker.status, 2);
    EXPECT_NE(no_broker.err.find("no broker at"), std::string::npos) << no_broker.err;
}

TEST(CliProtocol, LiveStopsAfterNDocumentsAndRelayWaitsForTheState)
{
    scripted_daemon daemon(ONLINE_STATE);
    cli_process cli(with_broker(daemon.broker.uri(), {"--json", "live", "2"}));
    const std::string id = daemon.take_command(2);
    const auto live = [&](const char *rpm) {
        return std::string("{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"ID\": \"") + id +
               "\",\n  \"DATA\": {\n    \"ENGRPM\": " + rpm + ",\n    \"SPD\": \"--\"\n  }\n}";
    };
    daemon.status(2, 0, id, "ACK");
    daemon.answer(live("1726.00"));
    daemon.answer(live("1730.50"));
    const std::string stop_id = daemon.take_command(3);
    EXPECT_NE(stop_id, id);
    daemon.answer(live("1731.25")); // already on its way when the stop came
    daemon.status(2, 0, id, "DONE");
    daemon.status(3, 0, stop_id, "DONE");
    const cli_result result = cli.finish();
    EXPECT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> lines = result.lines();
    ASSERT_EQ(lines.size(), 6u) << result.out;
    EXPECT_EQ(lines[1], R"({"TYP":1,"CMD":2,"ID":")" + id + R"(","DATA":{"ENGRPM":1726.00,"SPD":"--"}})");
    EXPECT_EQ(lines[5], R"({"TYP":1,"CMD":3,"ERROR":0,"ID":")" + stop_id + R"(","DATA":{"msg":"DONE"}})");

    cli_process relay(with_broker(daemon.broker.uri(), {"relay", "3", "on"}));
    auto packet = daemon.client.wait_for([](const mqtt_test_message &m) { return m.topic == CMD_TOPIC; }, 60s);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->payload, R"({"TYP":2,"DATA":{"params":{"DO":{"DO3":1}}}})");
    std::string switched = ONLINE_STATE;
    switched.replace(switched.find("\"DO3\":0"), 7, "\"DO3\":1");
    EXPECT_TRUE(daemon.client.publish(STATE_TOPIC, switched, 1, true));
    const cli_result relayed = relay.finish();
    EXPECT_EQ(relayed.status, 0) << relayed.err;
    EXPECT_EQ(relayed.out, "DO3 on\n");
}

// The daemon itself, with the ECU simulator playing the demo vehicle.
TEST(CliAgainstDaemon, EachCommandOnceWithItsExitStatus)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    const std::string uri = rig.broker_uri();
    const cli_result state = run_cli(uri, {"--json", "state"});
    ASSERT_EQ(state.status, 0) << state.err;
    EXPECT_NE(state.out.find(R"("ONLINE":1,"LINK":"up","ECU":{"ADDR":"7E8")"), std::string::npos) << state.out;

    const cli_result codes = run_cli(uri, {"--json", "codes"});
    EXPECT_EQ(codes.status, 0) << codes.err;
    ASSERT_FALSE(codes.lines().empty());
    const std::string id = id_of(codes.lines().back());
    EXPECT_EQ(codes.lines().back(), R"({"TYP":1,"CMD":1,"ID":")" + id +
                                        R"(","DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}})");
    for (const std::string &line : codes.lines())
        EXPECT_EQ(id_of(line), id) << "only the answers to its own command: " << line;

    const cli_result readiness = run_cli(uri, {"readiness"});
    EXPECT_EQ(readiness.status, 0) << readiness.err;
    EXPECT_NE(readiness.out.find("MIL: on"), std::string::npos) << readiness.out;
    const cli_result freeze = run_cli(uri, {"freeze"});
    EXPECT_EQ(freeze.status, 0) << freeze.err;
    EXPECT_NE(freeze.out.find("Freeze frame stored by P0420"), std::string::npos) << freeze.out;
    const cli_result live = run_cli(uri, {"live", "2"});
    EXPECT_EQ(live.status, 0) << live.err;
    EXPECT_EQ(live.lines().size(), 3u) << "a header and two rows: " << live.out;
    const cli_result relay = run_cli(uri, {"relay", "5", "on"});
    EXPECT_EQ(relay.status, 0) << relay.err;
    EXPECT_NE(run_cli(uri, {"--json", "state"}).out.find(R"("DO5":1)"), std::string::npos);
    const cli_result clear = run_cli(uri, {"clear"});
    EXPECT_EQ(clear.status, 0) << clear.err;
    EXPECT_EQ(clear.out, "Trouble codes cleared.\n");
    EXPECT_EQ(run_cli(uri, {"reload"}).status, 0);

    rig.daemon().stop();
    const cli_result offline = run_cli(uri, {"codes"});
    EXPECT_EQ(offline.status, 2);
    EXPECT_NE(offline.err.find("offline"), std::string::npos) << offline.err;
}

TEST(CliAgainstDaemon, WatchPrintsEveryMessageWithItsTimeUntilInterrupted)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    cli_process watch(with_broker(rig.broker_uri(), {"watch"}));
    // Subscribed once the daemon's retained state is there.
    ASSERT_TRUE(watch.wait_for_output("dt/app_to_ui/state (retained) {\"ONLINE\":1"));
    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    ASSERT_TRUE(rig.send_command(1));
    ASSERT_TRUE(rig.skip_until(R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}})"));
    watch.signal(SIGINT);
    const cli_result result = watch.finish(30s);
    EXPECT_EQ(result.status, 0) << result.err;
    static const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} dt/(ui_to_app/cmd|app_to_ui/\w+)( \(retained\))? \{.*\})");
    for (const std::string &l : result.lines())
        EXPECT_TRUE(std::regex_match(l, line)) << l;
    EXPECT_NE(result.out.find(R"( dt/ui_to_app/cmd {"TYP":1,"CMD":1})"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(R"("DATA":{"msg":"SAVSUC"}})"), std::string::npos) << result.out;
}

} // namespace
