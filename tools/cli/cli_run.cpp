#include "cli_run.h"

#include "c_handles.h"
#include "cli_link.h"
#include "cli_render.h"

#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr const char *CMD_TOPIC = "dt/ui_to_app/cmd";
constexpr const char *RESP_TOPIC = "dt/app_to_ui/resp";
constexpr const char *STATE_TOPIC = "dt/app_to_ui/state";
constexpr auto STATE_WAIT_CAP = 5s; // a retained state arrives with the subscription
constexpr auto STOP_WAIT = 10s;     // for the end of a live stream after CMD 3
constexpr auto PROGRESS_TICK = 1s;

int complain(int status, const std::string &text)
{
    std::fprintf(stderr, "diag-gateway-cli: %s\n", text.c_str());
    return status;
}

std::string seconds_text(std::chrono::milliseconds span)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(span.count()) / 1000.0);
    return text;
}

const char *word_of(const cJSON *message)
{
    const cJSON *word = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(message, "DATA"), "msg");
    return cJSON_IsString(word) ? word->valuestring : nullptr;
}

int error_of(const cJSON *message)
{
    const cJSON *error = cJSON_GetObjectItemCaseSensitive(message, "ERROR");
    return cJSON_IsNumber(error) ? error->valueint : 0;
}

bool is_online(const cJSON *state)
{
    const cJSON *online = cJSON_GetObjectItemCaseSensitive(state, "ONLINE");
    return cJSON_IsNumber(online) && online->valueint == 1;
}

// IDs are 1 to 36 characters of A-Z a-z 0-9 . _ : -; this one is fresh per
// command and per run.
std::string fresh_id()
{
    static unsigned counter = 0;
    static const unsigned run = std::random_device{}() & 0xffffu;
    char id[40];
    std::snprintf(id, sizeof id, "cli-%d-%04x-%u", static_cast<int>(getpid()), run, ++counter);
    return id;
}

bool send_command(int cmd, const std::string &id)
{
    return cli_publish(CMD_TOPIC, "{\"TYP\":1,\"CMD\":" + std::to_string(cmd) + ",\"ID\":\"" + id + "\"}");
}

// How an answer that carries our ID stands to the command.
enum class answer_kind { progress, document, succeeded, failed };

answer_kind classify(const cJSON *message)
{
    const char *word = word_of(message);
    if (!word)
        return answer_kind::document;
    const std::string w = word;
    if (w == "DTC_CLEARED")
        return answer_kind::succeeded;
    if (w == "COMER" || w == "NAK")
        return answer_kind::failed;
    if (w == "DONE")
        return error_of(message) == 0 ? answer_kind::succeeded : answer_kind::failed;
    return answer_kind::progress; // ACK, NORES between attempts
}

// A line on stderr that says a slow command is still under way; only on a
// terminal and only for a person.
struct progress_line {
    const char *command;
    bool shown = false;
    steady::time_point start = steady::now();
    std::string stage = "sent";

    bool wanted() const { return isatty(STDERR_FILENO) != 0; }
    void tick()
    {
        if (!wanted())
            return;
        const auto waited = std::chrono::duration_cast<std::chrono::seconds>(steady::now() - start);
        std::fprintf(stderr, "\r\033[K%s: %s, %lld s", command, stage.c_str(), static_cast<long long>(waited.count()));
        shown = true;
    }
    void clear()
    {
        if (shown)
            std::fprintf(stderr, "\r\033[K");
        shown = false;
    }
    void note(const std::string &text)
    {
        clear();
        std::fprintf(stderr, "%s: %s\n", command, text.c_str());
    }
};

enum class wait_end { answer, timeout, interrupted, lost, offline };

struct answer {
    json_ptr doc;
    std::string payload;
};

// The next message on the answer topic that carries one of `ids`. A state
// saying the daemon went offline ends the wait.
wait_end wait_answer(const std::vector<std::string> &ids, steady::time_point deadline, answer &out,
                     progress_line *progress)
{
    for (;;) {
        cli_message message;
        const auto end = cli_next_message(std::min(deadline, steady::now() + PROGRESS_TICK), message);
        if (end == cli_wait_end::timeout) {
            if (steady::now() >= deadline)
                return wait_end::timeout;
            if (progress)
                progress->tick();
            continue;
        }
        if (end == cli_wait_end::interrupted)
            return wait_end::interrupted;
        if (end == cli_wait_end::connection_lost)
            return wait_end::lost;
        json_ptr doc(cJSON_ParseWithLength(message.payload.data(), message.payload.size()));
        if (message.topic == STATE_TOPIC) {
            if (doc && !is_online(doc.get()))
                return wait_end::offline;
            continue;
        }
        const cJSON *id = cJSON_GetObjectItemCaseSensitive(doc.get(), "ID");
        if (message.topic != RESP_TOPIC || !cJSON_IsString(id))
            continue;
        for (const std::string &wanted : ids) {
            if (!wanted.empty() && wanted == id->valuestring) {
                out.doc = std::move(doc);
                out.payload = std::move(message.payload);
                return wait_end::answer;
            }
        }
    }
}

int report_wait_end(wait_end end, std::chrono::milliseconds timeout)
{
    switch (end) {
    case wait_end::timeout:
        return complain(CLI_EXIT_NO_ANSWER, "no answer from diag-gateway within " + seconds_text(timeout));
    case wait_end::interrupted:
        return complain(CLI_EXIT_NO_ANSWER, "interrupted before the answer");
    case wait_end::lost:
        return complain(CLI_EXIT_NO_ANSWER, "lost the connection to the broker");
    case wait_end::offline:
        return complain(CLI_EXIT_NO_ANSWER, "diag-gateway went offline");
    case wait_end::answer:
        break;
    }
    return CLI_EXIT_ANSWERED;
}

// The retained state, which the broker hands over with the subscription;
// nullptr when none came in time.
json_ptr wait_state(steady::time_point deadline)
{
    for (;;) {
        cli_message message;
        if (cli_next_message(deadline, message) != cli_wait_end::message)
            return nullptr;
        if (message.topic != STATE_TOPIC)
            continue;
        json_ptr doc(cJSON_ParseWithLength(message.payload.data(), message.payload.size()));
        if (doc)
            return doc;
    }
}

const char *command_name(int cmd)
{
    switch (cmd) {
    case 1: return "codes";
    case 2: return "live";
    case 4: return "clear";
    case 10: return "reload";
    case 20: return "readiness";
    case 21: return "freeze";
    default: return "command";
    }
}

void print_document(int cmd, const cJSON *data)
{
    if (cmd == 1)
        print_codes(stdout, data);
    else if (cmd == 20)
        print_readiness(stdout, data);
    else if (cmd == 21)
        print_freeze_frame(stdout, data);
}

int report_failure(const char *name, const cJSON *message, const std::string &last_word)
{
    const std::string word = word_of(message) ? word_of(message) : "";
    if (word == "NAK") {
        const cJSON *why = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(message, "DATA"), "why");
        return complain(CLI_EXIT_ERROR_ANSWER, std::string(name) + ": refused by diag-gateway (NAK): " +
                                                   (cJSON_IsString(why) ? why->valuestring : "no reason given"));
    }
    if (word == "COMER")
        return complain(CLI_EXIT_ERROR_ANSWER, std::string(name) + ": no ECU detected (COMER)");
    if (last_word == "NORES")
        return complain(CLI_EXIT_ERROR_ANSWER, std::string(name) + ": the ECU did not answer (NORES)");
    return complain(CLI_EXIT_ERROR_ANSWER, std::string(name) + ": failed (" + word + " with ERROR 1" +
                                               (last_word.empty() ? "" : " after " + last_word) + ")");
}

void note_progress(progress_line &progress, const std::string &word)
{
    if (word == "ACK") {
        progress.stage = "under way";
    } else if (word == "NORES") {
        progress.note("no answer from the ECU (NORES), the daemon tries again");
        progress.stage = "trying again";
    } else if (!word.empty()) {
        progress.note(word);
    }
}

// codes, readiness, freeze, clear, reload: one command, one terminal answer.
int run_request(const cli_options &options, int cmd, std::chrono::milliseconds timeout)
{
    const std::string id = fresh_id();
    if (!send_command(cmd, id))
        return complain(CLI_EXIT_NO_ANSWER, "could not send the command to the broker");
    const auto deadline = steady::now() + timeout;
    progress_line progress{command_name(cmd)};
    std::string last_word;
    for (;;) {
        answer a;
        const wait_end end = wait_answer({id}, deadline, a, options.json ? nullptr : &progress);
        progress.clear();
        if (end != wait_end::answer)
            return report_wait_end(end, timeout);
        if (options.json)
            std::printf("%s\n", one_line_json(a.payload).c_str());
        std::fflush(stdout);
        switch (classify(a.doc.get())) {
        case answer_kind::progress:
            last_word = word_of(a.doc.get());
            if (!options.json)
                note_progress(progress, last_word);
            continue;
        case answer_kind::document:
            if (!options.json)
                print_document(cmd, cJSON_GetObjectItemCaseSensitive(a.doc.get(), "DATA"));
            return CLI_EXIT_ANSWERED;
        case answer_kind::succeeded:
            if (!options.json)
                std::printf("%s\n", cmd == 4 ? "Trouble codes cleared." : "Configuration reloaded, bring-up finished.");
            return CLI_EXIT_ANSWERED;
        case answer_kind::failed:
            return options.json ? CLI_EXIT_ERROR_ANSWER : report_failure(command_name(cmd), a.doc.get(), last_word);
        }
    }
}

// Live data: N documents, then CMD 3 (with an ID of its own) and the end of
// the stream. Ctrl-C stops the stream the same way.
struct live_run {
    const cli_options &options;
    std::chrono::milliseconds timeout;
    std::string live_id = fresh_id();
    std::string stop_id{}; // empty until the stop is sent
    int documents = 0;
    std::vector<std::string> keys{};
    bool live_ended = false;
    bool stop_ended = false;
    steady::time_point deadline = steady::now() + timeout;

    bool finished() const { return live_ended && (stop_id.empty() || stop_ended); }
    bool asked_for_reached() const { return options.live_documents != 0 && documents >= options.live_documents; }

    bool stop(std::chrono::milliseconds wait)
    {
        stop_id = fresh_id();
        deadline = steady::now() + wait;
        return send_command(3, stop_id);
    }

    // Rows beyond N (a document already on its way when the stop came) are
    // left out for a person; --json prints every message.
    void show(const cJSON *doc)
    {
        const cJSON *data = cJSON_GetObjectItemCaseSensitive(doc, "DATA");
        if (asked_for_reached())
            return;
        if (documents++ == 0) {
            keys = live_keys(data);
            print_live_header(stdout, keys);
        }
        print_live_row(stdout, keys, data);
    }

    // A live document: shown, and after the N-th the stop is sent.
    bool take_document(const cJSON *doc)
    {
        if (options.json)
            ++documents;
        else
            show(doc);
        deadline = steady::now() + timeout;
        return !stop_id.empty() || !asked_for_reached() ||
               stop(std::max<std::chrono::milliseconds>(timeout, STOP_WAIT));
    }

    // One answer to the stream or to its stop; false when the CLI is done
    // with `status`.
    bool take(const answer &a, progress_line &progress, int &status)
    {
        const answer_kind kind = classify(a.doc.get());
        if (stop_id == cJSON_GetObjectItemCaseSensitive(a.doc.get(), "ID")->valuestring) {
            stop_ended = kind != answer_kind::progress;
            return true;
        }
        if (kind == answer_kind::document) {
            if (take_document(a.doc.get()))
                return true;
            status = complain(CLI_EXIT_NO_ANSWER, "could not send the stop to the broker");
            return false;
        }
        if (kind == answer_kind::progress) {
            if (!options.json)
                note_progress(progress, word_of(a.doc.get()));
            return true;
        }
        live_ended = true;
        // The stream's end is an error only when it ended by itself before
        // the documents asked for (NORES four times, COMER, NAK).
        if (kind != answer_kind::failed || !stop_id.empty() || asked_for_reached())
            return true;
        status = options.json ? CLI_EXIT_ERROR_ANSWER : report_failure("live", a.doc.get(), "NORES");
        return false;
    }
};

int run_live(const cli_options &options, std::chrono::milliseconds timeout)
{
    live_run run{options, timeout};
    if (!send_command(2, run.live_id))
        return complain(CLI_EXIT_NO_ANSWER, "could not send the command to the broker");
    progress_line progress{"live"};
    int status = CLI_EXIT_ANSWERED;
    while (!run.finished()) {
        answer a;
        const wait_end end = wait_answer({run.live_id, run.stop_id}, run.deadline, a, options.json ? nullptr : &progress);
        progress.clear();
        if (end == wait_end::interrupted && run.stop_id.empty()) {
            cli_clear_interrupt();
            if (!run.stop(STOP_WAIT))
                return complain(CLI_EXIT_NO_ANSWER, "could not send the stop to the broker");
            continue;
        }
        if (end != wait_end::answer)
            return report_wait_end(end, timeout);
        if (options.json)
            std::printf("%s\n", one_line_json(a.payload).c_str());
        std::fflush(stdout);
        if (!run.take(a, progress, status))
            break;
    }
    return status;
}

std::string relay_key(int relay) { return "DO" + std::to_string(relay); }

int relay_level(const cJSON *state, const std::string &key)
{
    const cJSON *level = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(state, "RELAYS"), key.c_str());
    return cJSON_IsNumber(level) ? (level->valueint != 0 ? 1 : 0) : -1;
}

// A relay packet gets no answer: the state's "RELAYS" confirms the switch.
int run_relay(const cli_options &options, const cJSON *state, std::chrono::milliseconds timeout)
{
    const std::string key = relay_key(options.relay);
    const int wanted = options.relay_on ? 1 : 0;
    const std::string packet = "{\"TYP\":2,\"DATA\":{\"params\":{\"DO\":{\"" + key + "\":" + std::to_string(wanted) + "}}}}";
    if (!cli_publish(CMD_TOPIC, packet))
        return complain(CLI_EXIT_NO_ANSWER, "could not send the relay packet to the broker");
    const auto confirm = [&](const cJSON *doc, const std::string &payload) {
        if (options.json)
            std::printf("%s\n", one_line_json(payload).c_str());
        else
            std::printf("%s %s\n", key.c_str(), wanted ? "on" : "off");
        (void)doc;
        return CLI_EXIT_ANSWERED;
    };
    if (relay_level(state, key) == wanted) // already so: the state will not change
        return confirm(state, json_text_ptr(cJSON_PrintUnformatted(state)).get());
    const auto deadline = steady::now() + timeout;
    for (;;) {
        cli_message message;
        const auto end = cli_next_message(deadline, message);
        if (end != cli_wait_end::message)
            return end == cli_wait_end::timeout
                       ? complain(CLI_EXIT_NO_ANSWER, "the state did not show " + key + " switched within " + seconds_text(timeout))
                       : report_wait_end(end == cli_wait_end::interrupted ? wait_end::interrupted : wait_end::lost, timeout);
        if (message.topic != STATE_TOPIC)
            continue;
        json_ptr doc(cJSON_ParseWithLength(message.payload.data(), message.payload.size()));
        if (doc && !is_online(doc.get()))
            return report_wait_end(wait_end::offline, timeout);
        if (doc && relay_level(doc.get(), key) == wanted)
            return confirm(doc.get(), message.payload);
    }
}

// Every message on the daemon's topics with its time, until SIGINT/SIGTERM.
int run_watch()
{
    if (!cli_subscribe({CMD_TOPIC, "dt/app_to_ui/#"}))
        return complain(CLI_EXIT_NO_ANSWER, "the broker refused the subscription");
    for (;;) {
        cli_message message;
        const auto end = cli_next_message(steady::now() + 1h, message);
        if (end == cli_wait_end::interrupted)
            return CLI_EXIT_ANSWERED;
        if (end == cli_wait_end::connection_lost)
            return complain(CLI_EXIT_NO_ANSWER, "lost the connection to the broker");
        if (end != cli_wait_end::message)
            continue;
        std::printf("%s %s%s %s\n", local_time_text(message.received).c_str(), message.topic.c_str(),
                    message.retained ? " (retained)" : "", one_line_json(message.payload).c_str());
        std::fflush(stdout);
    }
}

int run_with_state(const cli_options &options, std::chrono::milliseconds timeout)
{
    if (!cli_subscribe({RESP_TOPIC, STATE_TOPIC}))
        return complain(CLI_EXIT_NO_ANSWER, "the broker refused the subscription");
    const auto state_wait = std::min<std::chrono::milliseconds>(timeout, STATE_WAIT_CAP);
    json_ptr state = wait_state(steady::now() + state_wait);
    if (!state)
        return complain(CLI_EXIT_NO_ANSWER, "no state from diag-gateway within " + seconds_text(state_wait) +
                                                " (is it running, on this broker?)");
    if (options.action == cli_action::state) {
        if (options.json)
            std::printf("%s\n", json_text_ptr(cJSON_PrintUnformatted(state.get())).get());
        else
            print_state(stdout, state.get());
    }
    if (!is_online(state.get()))
        return complain(CLI_EXIT_NO_ANSWER, "diag-gateway is offline");
    switch (options.action) {
    case cli_action::state: return CLI_EXIT_ANSWERED;
    case cli_action::codes: return run_request(options, 1, timeout);
    case cli_action::readiness: return run_request(options, 20, timeout);
    case cli_action::freeze: return run_request(options, 21, timeout);
    case cli_action::clear: return run_request(options, 4, timeout);
    case cli_action::reload: return run_request(options, 10, timeout);
    case cli_action::live: return run_live(options, timeout);
    case cli_action::relay: return run_relay(options, state.get(), timeout);
    case cli_action::watch: break;
    }
    return run_watch();
}

} // namespace

int run_cli(const cli_options &options)
{
    const auto timeout = options.timeout.value_or(cli_default_timeout(options.action));
    cli_catch_signals();
    std::string error;
    if (!cli_connect(options.broker_uri, std::min<std::chrono::milliseconds>(timeout, 10s), error)) {
        cli_disconnect();
        return complain(CLI_EXIT_NO_ANSWER, error);
    }
    const int status = options.action == cli_action::watch ? run_watch() : run_with_state(options, timeout);
    std::fflush(stdout);
    cli_disconnect();
    return status;
}
