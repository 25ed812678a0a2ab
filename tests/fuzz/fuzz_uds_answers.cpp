// The OBD-on-UDS answer decoders on any answer bytes: 59 42 and 59 55 record
// lists, the 59 03 snapshot list, the 59 04 snapshot, 62 F4xx/F8xx items.
// Nothing is read past the answer, records are whole or the answer is
// refused, every code byte pair makes a valid code text.
//
// Input: a choice byte (low three bits: which decoder), an argument byte (the
// PID or InfoType asked), then the response buffer (length byte first).
#include "fuzz_support.h"

#include "obd2/dialect/obd_dialect.h"
#include "obd2/dtc_read.h"
#include "obd2/isotp.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

// Where an answer's bytes end once the fill bytes of a single frame are cut.
std::size_t answer_end(const std::uint8_t *resp, std::size_t len)
{
    return answer_length(resp, clamp_response_length(len));
}

bool inside(const std::uint8_t *resp, std::size_t len, const std::uint8_t *data, std::size_t size)
{
    return data >= resp && data + size <= resp + len;
}

void check_code_text(const dtc_record &r)
{
    char text[8];
    format_dtc_text(r.high, r.low, text, sizeof text);
    FUZZ_CHECK(std::strlen(text) == 5);
    FUZZ_CHECK(std::strchr("PCBU", text[0]) != nullptr);
    FUZZ_CHECK(text[1] >= '0' && text[1] <= '3');
}

void check_records(const std::uint8_t *resp, std::size_t len, bool whole, const dtc_records &out,
                   std::size_t first, std::size_t size, std::size_t code_at)
{
    const std::size_t end = answer_end(resp, len);
    if (!whole) {
        FUZZ_CHECK(out.count == 0);
        return;
    }
    FUZZ_CHECK(end >= first && (end - first) % size == 0);
    FUZZ_CHECK(static_cast<std::size_t>(out.count) == std::min<std::size_t>((end - first) / size, DTC_RECORDS_MAX));
    for (int i = 0; i < out.count; ++i) {
        const std::uint8_t *r = resp + first + i * size + code_at;
        FUZZ_CHECK(out.items[i].high == r[0] && out.items[i].low == r[1]);
        FUZZ_CHECK(out.items[i].failure_type == r[2] && out.items[i].status == r[3]);
        check_code_text(out.items[i]);
    }
}

std::size_t snapshot_length(std::uint16_t did) { return (did & 0xFF) < 0x80 ? (did & 0x3) : 0; }

void check_snapshot_list(const std::uint8_t *resp, std::size_t len)
{
    snapshot_id chosen{};
    bool found = false;
    const bool ok = decode_snapshot_list(resp, len, chosen, found);
    const std::size_t end = answer_end(resp, len);
    FUZZ_CHECK(ok || !found);
    if (!ok)
        return;
    FUZZ_CHECK((end - 3) % 4 == 0);
    FUZZ_CHECK(found == (end > 3));
    bool listed = false, zero_listed = false;
    for (std::size_t at = 3; at + 4 <= end; at += 4) {
        listed = listed || (std::memcmp(resp + at, chosen.code, 3) == 0 && resp[at + 3] == chosen.record);
        zero_listed = zero_listed || resp[at + 3] == 0;
    }
    FUZZ_CHECK(!found || listed);
    FUZZ_CHECK(!zero_listed || chosen.record == 0);
}

void check_snapshot(const std::uint8_t *resp, std::size_t len)
{
    snapshot_id asked{};
    if (len >= 6)
        std::memcpy(asked.code, resp + 3, 3);
    auto values = std::make_unique<snapshot_values>();
    if (!decode_snapshot(resp, len, asked, snapshot_length, *values)) {
        FUZZ_CHECK(values->count == 0);
        return;
    }
    const std::size_t end = answer_end(resp, len);
    FUZZ_CHECK(values->count <= resp[8]);
    for (int i = 0; i < values->count; ++i) {
        const obd_item &item = values->items[i];
        FUZZ_CHECK(item.size > 0 && item.size == snapshot_length(static_cast<std::uint16_t>(0xF400 | item.id)));
        FUZZ_CHECK(inside(resp, end, item.data, item.size));
        FUZZ_CHECK(item.data[-2] == 0xF4 && item.data[-1] == item.id);
    }
}

void check_item(const std::uint8_t *resp, std::size_t len, std::uint8_t id, bool info)
{
    for (obd_dialect dialect : {obd_dialect::classic, obd_dialect::uds}) {
        obd_item item{};
        const bool ok = info ? decode_info_answer(dialect, resp, len, id, item)
                             : decode_pid_answer(dialect, resp, len, id, item);
        if (!ok)
            continue;
        FUZZ_CHECK(item.id == id && item.data[-1] == id);
        FUZZ_CHECK(inside(resp, answer_end(resp, len), item.data, item.size));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_bytes in(data, size);
    const std::uint8_t choice = in.byte();
    const std::uint8_t arg = in.byte();
    const std::vector<std::uint8_t> rest = in.rest();
    // On the heap at its exact size: a read past the answer is caught.
    auto resp = std::make_unique<std::uint8_t[]>(rest.size());
    if (!rest.empty())
        std::memcpy(resp.get(), rest.data(), rest.size());
    const std::size_t len = rest.size();
    auto records = std::make_unique<dtc_records>();
    switch (choice & 0x7) {
    case 0:
        check_records(resp.get(), len, decode_codes_by_status(resp.get(), len, *records), *records, 7, 5, 1);
        break;
    case 1:
        check_records(resp.get(), len, decode_permanent_codes(resp.get(), len, *records), *records, 6, 4, 0);
        break;
    case 2:
        check_snapshot_list(resp.get(), len);
        break;
    case 3:
        check_snapshot(resp.get(), len);
        break;
    default:
        check_item(resp.get(), len, arg, (choice & 0x7) == 4);
        break;
    }
    return 0;
}
