#include "obd2/dtc_clear.h"

#include "handover/thread_handover.h"
#include "obd2/config_file.h"
#include "obd2/dialect/obd_dialect.h"
#include "obd2/isotp.h"
#include "obd2/obd2_types.h"

#include <chrono>
#include <cstdio>

std::uint8_t g_arr_clear_dtc_cmd[8];

namespace {

// 44 to 04, 54 to 14.
std::uint8_t positive_answer_to(const std::uint8_t *req) { return static_cast<std::uint8_t>(req[1] + 0x40); }
constexpr std::uint8_t NEGATIVE_RESPONSE = 0x7F;
constexpr std::uint8_t NRC_RESPONSE_PENDING = 0x78;
constexpr auto PENDING_PAUSE = std::chrono::milliseconds(300);

enum class clear_step { done, failed, repeat_pending, repeat_silent };

void print_clear_response(const std::uint8_t *resp, std::size_t len)
{
    std::puts("RESPONSE FOR CLEAR DTC : ");
    print_bytes(resp, len, "[%02x] ");
    std::printf("\n\n");
}

// One request and the verdict on its answer.
clear_step clear_attempt(const ecu_entry &ecu)
{
    std::uint8_t resp[OBD2_RESPONSE_SIZE] = {};
    std::uint64_t resp_len = 0;
    build_obd_request(ecu.dialect, obd_question::clear_codes, g_arr_clear_dtc_cmd);
    int rc = send_obd2_request(ecu, g_arr_clear_dtc_cmd, OBD2_REQUEST_SIZE, resp, &resp_len,
                               REQ_KIND_DTC_CLEAR);
    // After a failure the length may count bytes that never reached `resp`.
    std::size_t len = rc == -1 ? 0 : clamp_response_length(resp_len);
    print_clear_response(resp, len);

    // An unpadded ECU answers 01 44 in a two-byte frame: what the single
    // frame's PCI says it carries decides, not its length.
    if (answer_length(resp, len) < 2)
        return clear_step::repeat_silent;
    if (resp[1] == positive_answer_to(g_arr_clear_dtc_cmd)) {
        std::puts("OBD2: DTCs cleared successfully.");
        return clear_step::done;
    }
    if (resp[1] != NEGATIVE_RESPONSE) {
        std::puts("OBD2: Unexpected response to Clear DTC request.");
        return clear_step::failed;
    }
    std::uint8_t nrc = len > 3 ? resp[3] : 0;
    if (nrc == NRC_RESPONSE_PENDING) {
        std::puts("OBD2: ECU busy clearing DTCs (NRC=0x78). Retrying...");
        return clear_step::repeat_pending;
    }
    std::printf("OBD2: Negative Response. NRC=0x%02X\n", nrc);
    return clear_step::failed;
}

} // namespace

int handle_clear_dtc_command(const ecu_entry &ecu)
{
    int pending_repeats = 0;
    int silent_attempts = 0;
    for (;;) {
        switch (clear_attempt(ecu)) {
        case clear_step::done:
            return 1;
        case clear_step::failed:
            return 0;
        case clear_step::repeat_pending:
            if (++pending_repeats > CLEAR_DTC_MAX_PENDING_REPEATS) {
                std::puts("OBD2: Retry limit reached. Clear DTC failed.");
                return 0;
            }
            obd_sleep(PENDING_PAUSE);
            break;
        case clear_step::repeat_silent:
            if (++silent_attempts >= CLEAR_DTC_MAX_SILENT_ATTEMPTS) {
                std::printf("OBD2: No answer to Clear DTC request after %d attempts. Clear DTC failed.\n",
                            silent_attempts);
                return 0;
            }
            break;
        }
    }
}
