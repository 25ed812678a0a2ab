// Trouble-code answers: decode_dtc_array on any answer bytes, the
// stored-against-pending filter on the decoded lists or on any JSON, and the
// whole read, handle_dtc_command, against ECUs answering with any codes: the
// document parses and fits its buffer, however many codes come.
//
// Input: a choice byte, then by its low two bits
//   0: the stored answer's length (in eights) and bytes, the pending answer;
//   1: two JSON texts split at the first NUL, for the filter;
//   2, 3: the number of ECUs, then per request a length and the codes' bytes.
#include "fuzz_support.h"

#include "obd2/config_file.h"
#include "obd2/dtc_read.h"
#include "obd2/obd2_types.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t DISTINCT_REMEMBERED = 20;

bool is_code(const cJSON *item)
{
    if (!cJSON_IsString(item) || std::strlen(item->valuestring) != 5)
        return false;
    const char *c = item->valuestring;
    return (c[0] == 'P' || c[0] == 'U') && std::strspn(c + 1, "0123456789ABCDEF") == 4 &&
           !(c[0] == 'P' && c[1] == '3'); // manufacturer range left out
}

std::string decoded(const std::vector<std::uint8_t> &answer)
{
    // On the heap at its exact size: a read past the answer is caught.
    auto bytes = std::make_unique<std::uint8_t[]>(answer.size() + 1);
    std::copy(answer.begin(), answer.end(), bytes.get());
    const std::string text = decode_dtc_array(bytes.get(), answer.size());
    FUZZ_CHECK(text.size() < 3072);

    json_ptr list(cJSON_Parse(text.c_str()));
    FUZZ_CHECK(cJSON_IsArray(list.get()));
    std::vector<std::string> codes;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, list.get())
    {
        FUZZ_CHECK(is_code(item));
        codes.emplace_back(item->valuestring);
    }
    if (!codes.empty()) {
        FUZZ_CHECK(answer.size() > 3);
        FUZZ_CHECK(codes.size() <= answer[2] && codes.size() <= (answer.size() - 3) / 2);
    }
    // The first twenty distinct codes are never repeated.
    for (std::size_t i = 0; i < std::min(codes.size(), DISTINCT_REMEMBERED); ++i)
        FUZZ_CHECK(std::count(codes.begin(), codes.end(), codes[i]) == 1);
    return text;
}

bool has_text(const cJSON *array, const char *text)
{
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, array)
    {
        if (cJSON_IsString(item) && std::strcmp(item->valuestring, text) == 0)
            return true;
    }
    return false;
}

// Afterwards `stored` holds, in their order, exactly the texts of the
// original that `pending` holds too.
void check_filter(const char *stored_text, const char *pending_text)
{
    json_ptr stored(cJSON_Parse(stored_text));
    json_ptr pending(cJSON_Parse(pending_text));
    std::vector<std::string> expected;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, stored.get())
    {
        if (cJSON_IsString(item) && has_text(pending.get(), item->valuestring))
            expected.emplace_back(item->valuestring);
    }
    keep_only_pending_in_stored(stored.get(), pending.get());
    if (!stored || !pending)
        return;
    std::vector<std::string> kept;
    cJSON_ArrayForEach(item, stored.get())
    {
        FUZZ_CHECK(cJSON_IsString(item));
        kept.emplace_back(item->valuestring);
    }
    FUZZ_CHECK(kept == expected);
}

void check_document(fuzz_bytes &in)
{
    constexpr const char *kinds[] = {"STRDTC", "PNDDTC", "PRMDTC"};
    g_dtc_count = 3;
    for (int k = 0; k < 3; ++k)
        std::snprintf(g_dtc_names[k], CONFIG_NAME_SIZE, "%s", kinds[k]);
    g_ecu_count = 1 + in.byte() % 3;
    for (int e = 0; e < g_ecu_count; ++e)
        g_ecu_list[e] = {0x7E8, ADDR_MODE_11BIT};

    fuzz_bus bus;
    static fuzz_peer ecu;
    ecu.start([&] {
        while (auto frame = bus.receive()) {
            if (!is_obd_request(*frame))
                continue; // flow control
            std::vector<std::uint8_t> answer{static_cast<std::uint8_t>(frame->data[1] + 0x40)};
            const std::vector<std::uint8_t> codes = in.bytes(in.byte());
            answer.insert(answer.end(), codes.begin(), codes.end());
            for (const can_frame &f : iso_tp_frames(0x7E8, answer, 0xAA))
                bus.send(f);
        }
    });
    const char *document = handle_dtc_command();
    bus.close_daemon_end();
    ecu.finish();

    FUZZ_CHECK(std::memchr(final_json, '\0', FINAL_JSON_SIZE) != nullptr);
    json_ptr doc(cJSON_Parse(document));
    FUZZ_CHECK(doc != nullptr);
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(doc.get(), "DATA");
    const cJSON *stored = cJSON_GetObjectItemCaseSensitive(data, "STRDTC");
    const cJSON *pending = cJSON_GetObjectItemCaseSensitive(data, "PNDDTC");
    FUZZ_CHECK(cJSON_IsArray(stored) && cJSON_IsArray(pending) &&
               cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(data, "PRMDTC")));
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, stored)
    {
        FUZZ_CHECK(is_code(item) && has_text(pending, item->valuestring));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_bytes in(data, size);
    const std::uint8_t choice = in.byte();
    if (choice & 2) {
        check_document(in);
        return 0;
    }
    if (choice & 1) {
        const std::vector<std::uint8_t> rest = in.rest();
        const std::string texts(rest.begin(), rest.end());
        const std::size_t split = std::min(texts.find('\0'), texts.size());
        check_filter(texts.substr(0, split).c_str(), split < texts.size() ? texts.c_str() + split + 1 : "");
        return 0;
    }
    const std::vector<std::uint8_t> stored = in.bytes(in.byte() * 8u);
    const std::vector<std::uint8_t> pending = in.rest();
    const std::string stored_codes = decoded(stored);
    const std::string pending_codes = decoded(pending);
    check_filter(stored_codes.c_str(), pending_codes.c_str());
    return 0;
}
