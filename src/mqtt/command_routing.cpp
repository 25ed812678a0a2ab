#include "mqtt/command_routing.h"

#include "c_handles.h"
#include "handover/relay_mailbox.h"
#include "handover/thread_handover.h"
#include "mqtt/command_id.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/outbox.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

char g_can_cmd[CAN_CMD_SIZE] = {}; // guarded by obd_state_mutex

namespace {

// The mailbox command's ID and "CMD" (for its NAK), and whether the OBD
// thread took it for work. Guarded by obd_state_mutex.
std::string mailbox_id;
int mailbox_cmd = 0;
bool mailbox_taken = true;

// Refusals composed on the library's callback thread, which must not
// publish; the OBD thread hands them to the outbox at its next pass. Only
// copies under the mutex.
constexpr std::size_t REFUSALS_KEPT = 32;
std::mutex refusals_mutex;
std::deque<std::string> refusals; // guarded by refusals_mutex

void owe_refusal(int cmd, const std::string &id, const char *why)
{
    std::lock_guard lock(refusals_mutex);
    if (refusals.size() < REFUSALS_KEPT)
        refusals.push_back(command_answer(cmd, 1, id, "NAK", why));
}

// The "CMD" of a command text for its NAK: 0 when it has no readable one.
int command_number_of(const char *text)
{
    json_ptr root(cJSON_Parse(text));
    const cJSON *cmd = root ? cJSON_GetObjectItemCaseSensitive(root.get(), "CMD") : nullptr;
    return cJSON_IsNumber(cmd) ? cmd->valueint : 0;
}

// Reads the number after `quoted_key` the way "\"KEY\"%*[: ]%d" would: the
// key, a run of at least one colon or blank, then a decimal integer. A number
// outside the int range counts as unreadable instead of being undefined.
int scan_number_after(const char *text, const char *quoted_key)
{
    const char *key = std::strstr(text, quoted_key);
    if (!key)
        return -1;
    const char *p = key + std::strlen(quoted_key);
    const std::size_t separators = std::strspn(p, ": ");
    if (separators == 0)
        return -1;
    p += separators;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return -1;
    return static_cast<int>(value);
}

// A command longer than the arrival buffer is refused whole: a cut JSON text
// is no command.
void route_arrival(const char *payload, int length)
{
    if (length >= ARRIVAL_BUFFER_SIZE) {
        std::printf("INTR_MQTT_ERROR : Command of %d bytes exceeds %d bytes, dropped\n", length,
                    ARRIVAL_BUFFER_SIZE - 1);
        return;
    }
    std::array<char, ARRIVAL_BUFFER_SIZE> text{};
    if (payload && length > 0)
        std::memcpy(text.data(), payload, static_cast<std::size_t>(length));
    handle_incoming_packet(text.data());
}

} // namespace

int MQTT_messageArrived(void * /*context*/, char *topicName, int /*topicLen*/,
                        MQTTClient_message *message)
{
    // Only the command topic is routed; the daemon's own answers come back
    // through its subscription and are dropped here without a word.
    if (std::strcmp(topicName, gMqttDetails.topics[1]) == 0)
        route_arrival(static_cast<const char *>(message->payload), message->payloadlen);
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topicName);
    return 1;
}

void handle_incoming_packet(const char *text)
{
    json_ptr root(text ? cJSON_Parse(text) : nullptr);
    if (!root) {
        std::puts("ERROR: Invalid JSON format.");
        return;
    }
    const cJSON *typ = cJSON_GetObjectItem(root.get(), "TYP"); // key case ignored
    if (!cJSON_IsNumber(typ)) {
        std::puts("ERROR: 'TYP' field missing or not a number.");
        return;
    }
    switch (typ->valueint) {
    case 1: command_for_can(text); break;
    case 2: get_gpio_cntrl_pkt(text); break;
    default: std::printf("MQTT_ERROR : Unknown TYP value: %d\n", typ->valueint); break;
    }
}

void command_for_can(const char *text)
{
    if (!text)
        return;
    const std::size_t length = std::strlen(text);
    // Parsed before the hand-over: under obd_state_mutex only copies.
    std::string id = command_id_of(text);
    const int cmd = id.empty() ? 0 : command_number_of(text);
    if (length >= sizeof g_can_cmd) {
        std::printf("INTR_MQTT_ERROR : Command of %zu characters exceeds the %zu-character "
                    "command mailbox, refused\n",
                    length, sizeof g_can_cmd - 1);
        if (!id.empty())
            owe_refusal(cmd, id, WHY_TOO_LONG);
        return;
    }
    std::string replaced_id;
    int replaced_cmd = 0;
    {
        // Copy and state change in one critical section: the OBD thread never
        // reads a half-written command, and never acts on PARSE_COMMAND before
        // the text is in place.
        std::lock_guard lock(obd_state_mutex);
        if (!mailbox_taken && !mailbox_id.empty()) {
            replaced_id = std::move(mailbox_id);
            replaced_cmd = mailbox_cmd;
        }
        std::memcpy(g_can_cmd, text, length);
        std::memset(g_can_cmd + length, 0, sizeof g_can_cmd - length);
        mailbox_id = std::move(id);
        mailbox_cmd = cmd;
        mailbox_taken = false;
        obd_command_arrived();
    }
    if (!replaced_id.empty())
        owe_refusal(replaced_cmd, replaced_id, WHY_SUPERSEDED);
}

bool take_mailbox_command(std::uint64_t seen, int state, std::string &id)
{
    // Under the mutex the generation tells whether a command came in since
    // `seen`: then the text read belongs to a replaced command.
    std::lock_guard lock(obd_state_mutex);
    if (obd_command_generation() != seen)
        return false;
    change_obd2_thrd_state(state);
    mailbox_taken = true;
    id = mailbox_id;
    return true;
}

void send_refusals()
{
    for (;;) {
        std::string text;
        {
            std::lock_guard lock(refusals_mutex);
            if (refusals.empty())
                return;
            text = std::move(refusals.front());
            refusals.pop_front();
        }
        outbox_send(text.c_str(), delivery::in_order);
    }
}

int parse_received_cmd()
{
    std::array<char, CAN_CMD_SIZE> text;
    {
        std::lock_guard lock(obd_state_mutex);
        std::memcpy(text.data(), g_can_cmd, text.size());
    }
    text.back() = '\0';
    const int typ = scan_number_after(text.data(), "\"TYP\"");
    const int cmd = scan_number_after(text.data(), "\"CMD\"");
    std::printf("[DEBUG] TYP=%d, CMD=%d\n", typ, cmd);
    return cmd;
}

void get_gpio_cntrl_pkt(const char *text)
{
    if (!text) {
        std::puts("DO_ERROR: Null packet received");
        return;
    }
    const std::size_t length = std::strlen(text);
    if (length >= RELAY_PACKET_SIZE) {
        std::printf("DO_ERROR: Relay packet of %zu characters exceeds %zu characters, refused\n",
                    length, RELAY_PACKET_SIZE - 1);
        return;
    }
    if (!relay_mailbox_push(text)) {
        std::printf("DO_ERROR: Relay packet queue full (%zu waiting), packet dropped: %s\n",
                    RELAY_QUEUE_DEPTH, text);
        return;
    }
    std::printf("DO_INFO : PACKET : %s\n", text);
    change_gpio_state(DO_PARSE);
}
