// get_vehicle_info against an ECU that answers its four service 09
// requests with fuzzed payloads, sent as well-formed single or multi-frame
// answers: the texts and the hexadecimal CVN stored from them.
//
// Input: the addressing mode and fill byte, then per request a flags byte
// (bit 0: no answer and the bus goes quiet; bit 1: the answer names another
// InfoType, and the bus goes quiet after it), a payload length and the
// payload.
#include "fuzz_support.h"

#include "obd2/obd2_types.h"
#include "obd2/vehicle_info.h"

#include <cstdio>
#include <cstring>

namespace {

struct planned_answer {
    bool silent = false;
    bool wrong_type = false;
    std::vector<std::uint8_t> payload; // after 49 <InfoType>
};

bool is_padding(std::uint8_t b) { return b <= 0x1F || b == 0xFF; }

void check_record(const vehicle_info_record &record, const std::vector<std::uint8_t> &payload)
{
    const char *text = record.text;
    FUZZ_CHECK(std::memchr(text, '\0', VEHICLE_INFO_TEXT_SIZE) != nullptr);
    const std::size_t len = std::strlen(text);
    if (record.info_type == 0x06) {
        // Two upper-case digits per payload byte, from the first, at most 63 bytes.
        FUZZ_CHECK(len % 2 == 0 && len <= 126 && len == 2 * std::min<std::size_t>(payload.size(), 63));
        for (std::size_t i = 0; i < len / 2; ++i) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02X", payload[i]);
            FUZZ_CHECK(std::memcmp(text + 2 * i, digits, 2) == 0);
        }
        return;
    }
    // The payload's text after its leading padding, at most 127 bytes.
    std::size_t start = 0;
    while (start < payload.size() && is_padding(payload[start]))
        ++start;
    FUZZ_CHECK(len >= 1 && len <= 127 && start + len <= payload.size());
    FUZZ_CHECK(std::memcmp(text, payload.data() + start, len) == 0);
    const bool cut_by_nul = start + len < payload.size() && payload[start + len] == 0;
    FUZZ_CHECK(cut_by_nul || !is_padding(static_cast<std::uint8_t>(text[len - 1])));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_bytes in(data, size);
    const std::uint8_t setup = in.byte();
    const int mode = setup & 1 ? ADDR_MODE_29BIT : ADDR_MODE_11BIT;
    const std::uint8_t fill = in.byte();
    const canid_t ecu_id = mode == ADDR_MODE_11BIT ? 0x7E8 : 0x18DAF110 | CAN_EFF_FLAG;
    constexpr std::uint8_t asked[4] = {0x02, 0x04, 0x06, 0x0A};
    planned_answer plan[4];
    for (planned_answer &answer : plan) {
        const std::uint8_t flags = in.byte();
        answer.silent = flags & 1;
        answer.wrong_type = flags & 2;
        answer.payload = in.bytes(in.byte());
    }

    fuzz_bus bus;
    bool answered[4] = {}; // a well-formed answer of the InfoType asked went out
    static fuzz_peer ecu;
    ecu.start([&] {
        int request = 0;
        bool quiet = false;
        while (auto frame = bus.receive()) {
            if (!is_obd_request(*frame) || quiet) // flow control, or nothing more to say
                continue;
            if (request >= 4 || plan[request].silent) {
                bus.stop_sending();
                quiet = true;
                continue;
            }
            const planned_answer &answer = plan[request];
            std::vector<std::uint8_t> message{0x49, static_cast<std::uint8_t>(frame->data[2] ^ answer.wrong_type)};
            message.insert(message.end(), answer.payload.begin(), answer.payload.end());
            for (const can_frame &f : iso_tp_frames(ecu_id, message, fill))
                bus.send(f);
            answered[request] = !answer.wrong_type;
            if (answer.wrong_type) { // no longer an answer to it: nothing else comes
                bus.stop_sending();
                quiet = true;
            }
            ++request;
        }
    });
    const int result = get_vehicle_info(ecu_entry{ecu_id & CAN_EFF_MASK, mode});
    bus.close_daemon_end();
    ecu.finish();

    FUZZ_CHECK(g_vehicle_info_count >= 0 && g_vehicle_info_count <= 4);
    FUZZ_CHECK(result == (g_vehicle_info_count > 0 ? 1 : 0));
    // Records in the order asked, each from an answer to its own InfoType.
    int next = 0;
    for (int r = 0; r < g_vehicle_info_count; ++r) {
        const vehicle_info_record &record = g_vehicle_info[r];
        while (next < 4 && asked[next] != record.info_type)
            ++next;
        FUZZ_CHECK(next < 4 && answered[next]);
        check_record(record, plan[next].payload);
        ++next;
    }
    return 0;
}
