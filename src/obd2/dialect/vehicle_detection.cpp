#include "obd2/dialect/vehicle_detection.h"

#include "obd2/dialect/obd_dialect.h"
#include "obd2/ecu_detection.h"

namespace {

constexpr obd_dialect DETECTION_ORDER[] = {obd_dialect::classic, obd_dialect::uds};
constexpr int SUPPORTED_PIDS_01_20 = 0x00;

} // namespace

int detect_vehicle(std::uint8_t *resp, std::uint64_t *resp_len, ecu_entry *found, int max_found,
                   int *found_count)
{
    *found_count = 0;
    for (obd_dialect dialect : DETECTION_ORDER) {
        std::uint8_t req[OBD2_REQUEST_SIZE];
        build_obd_request(dialect, obd_question::pid_value, req, SUPPORTED_PIDS_01_20);
        const int result = detect_ecus(req, sizeof req, resp, resp_len, found, max_found, found_count);
        if (result == 0)
            continue;
        for (int i = 0; i < *found_count; ++i)
            found[i].dialect = dialect;
        return result;
    }
    return 0;
}

int probe_vehicle(std::uint8_t *resp, std::uint64_t *resp_len, queued_answer queued, obd_dialect *dialect)
{
    for (obd_dialect candidate : DETECTION_ORDER) {
        std::uint8_t req[OBD2_REQUEST_SIZE];
        build_obd_request(candidate, obd_question::pid_value, req, SUPPORTED_PIDS_01_20);
        const int result = detect_mode(req, sizeof req, resp, resp_len, queued);
        if (result == 0)
            continue;
        *dialect = candidate;
        return result;
    }
    return 0;
}
