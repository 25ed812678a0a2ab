// A text on the command topic: routed by handle_incoming_packet, its command
// number read back by parse_received_cmd, and, as a relay packet, applied by
// parse_do_packet. Checked against what the texts say, not only for crashes.
#include "fuzz_support.h"

#include "gpio/relay_driver.h"
#include "handover/relay_mailbox.h"
#include "gpio/relay_thread.h"
#include "mqtt/command_routing.h"

#include <cjson/cJSON.h>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char SENTINEL[] = "{\"TYP\":1,\"CMD\":424242}";

int type_of(const char *text)
{
    json_ptr doc(cJSON_Parse(text));
    const cJSON *typ = cJSON_GetObjectItem(doc.get(), "TYP");
    return cJSON_IsNumber(typ) ? typ->valueint : -1;
}

// The command number as "\"CMD\"%*[: ]%d" reads it from the first "CMD"
// key, where the C library's own scanner is defined (no more than nine
// digits: beyond that its result is undefined).
bool reference_command(const char *text, int *cmd)
{
    const char *key = std::strstr(text, "\"CMD\"");
    *cmd = -1;
    if (key == nullptr)
        return true;
    const char *p = key + 5 + std::strspn(key + 5, ": ");
    p += std::strspn(p, " \t\n\v\f\r");
    p += (*p == '+' || *p == '-');
    if (std::strspn(p, "0123456789") > 9)
        return false;
    int value = 0;
    if (std::sscanf(key, "\"CMD\"%*[: ]%d", &value) == 1)
        *cmd = value;
    return true;
}

void check_routing(const std::string &text)
{
    std::memset(g_can_cmd, 0, sizeof g_can_cmd);
    std::memcpy(g_can_cmd, SENTINEL, sizeof SENTINEL);
    relay_mailbox_clear();
    handle_incoming_packet(text.c_str());

    const int typ = type_of(text.c_str());
    const bool to_obd = typ == 1 && text.size() < CAN_CMD_SIZE;
    FUZZ_CHECK(std::strcmp(g_can_cmd, to_obd ? text.c_str() : SENTINEL) == 0);
    for (std::size_t i = std::strlen(g_can_cmd); i < sizeof g_can_cmd; ++i)
        FUZZ_CHECK(g_can_cmd[i] == '\0');

    const bool to_relays = typ == 2 && text.size() < RELAY_PACKET_SIZE;
    FUZZ_CHECK(relay_mailbox_size() == (to_relays ? 1u : 0u));
    relay_packet packet{};
    if (relay_mailbox_pop(packet))
        FUZZ_CHECK(text == packet.data());
}

void check_command_number()
{
    int expected = -1;
    if (!reference_command(g_can_cmd, &expected))
        return;
    FUZZ_CHECK(parse_received_cmd() == expected);
}

void check_relay_packet(const std::string &text)
{
    int states[NUM_RELAYS];
    for (int i = 0; i < NUM_RELAYS; ++i)
        g_arr_do_states[i] = states[i] = i % 2;
    relay_packet packet{};
    std::snprintf(packet.data(), packet.size(), "%s", text.c_str());
    const relay_packet original = packet;
    const int parsed = parse_do_packet(packet.data());
    FUZZ_CHECK(parsed == 0 || parsed == 1);
    FUZZ_CHECK(packet == original); // read only
    for (int i = 0; i < NUM_RELAYS; ++i) {
        FUZZ_CHECK(g_arr_do_states[i] == 0 || g_arr_do_states[i] == 1);
        if (parsed == 0)
            FUZZ_CHECK(g_arr_do_states[i] == states[i]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The MQTT callback hands over at most 1023 bytes, cut at the first NUL.
    std::string text(reinterpret_cast<const char *>(data), std::min<std::size_t>(size, 1023));
    text.resize(std::strlen(text.c_str()));
    check_routing(text);
    check_command_number();
    check_relay_packet(text);
    return 0;
}
