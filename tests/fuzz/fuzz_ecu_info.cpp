// ecu_info.json: compare_vehicle_info_with_saved on any file content, and
// the round trip of any vehicle-information records through
// save_ecu_info_json and back: the written file parses, and the vehicle
// matches its own record exactly when its fingerprint is complete.
//
// Input: number of records, each an InfoType choice, a text length and the
// text (a field filled to the last byte has no terminator), then the
// content of the saved file for the first comparison.
#include "fuzz_support.h"

#include "obd2/config_file.h"
#include "obd2/ecu_info_file.h"
#include "obd2/pid_discovery.h"
#include "obd2/vehicle_info.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr std::uint8_t INFO_TYPES[] = {0x02, 0x04, 0x06, 0x0A, 0x08, 0x00};

void fill_records(fuzz_bytes &in)
{
    std::memset(g_vehicle_info, 0, sizeof g_vehicle_info);
    g_vehicle_info_count = in.byte() % (MAX_VEHICLE_INFO + 1);
    for (int i = 0; i < g_vehicle_info_count; ++i) {
        vehicle_info_record &record = g_vehicle_info[i];
        record.info_type = INFO_TYPES[in.byte() % sizeof INFO_TYPES];
        const std::vector<std::uint8_t> text = in.bytes(in.byte() % (VEHICLE_INFO_TEXT_SIZE + 1));
        std::copy(text.begin(), text.end(), record.text);
    }
}

// The comparison uses the last record of each fingerprint InfoType.
bool fingerprint_complete()
{
    for (std::uint8_t type : {0x02, 0x04, 0x06}) {
        std::string text;
        bool found = false;
        for (int i = 0; i < g_vehicle_info_count; ++i) {
            if (g_vehicle_info[i].info_type == type) {
                text.assign(g_vehicle_info[i].text, strnlen(g_vehicle_info[i].text, VEHICLE_INFO_TEXT_SIZE - 1));
                found = true;
            }
        }
        if (!found || text.empty() || text == "N/A")
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string path = fuzz_config_dir() + "/ecu_info.json";
    fuzz_bytes in(data, size);
    fill_records(in);
    const std::vector<std::uint8_t> saved = in.rest();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(saved.data()), static_cast<std::streamsize>(saved.size()));

    const int result = compare_vehicle_info_with_saved();
    FUZZ_CHECK(result == 0 || result == 1);
    if (result == 1)
        FUZZ_CHECK(fingerprint_complete());

    set_can_protocol(in.byte() % 3);
    g_can_bitrate = 500000;
    set_default_pid_availability();
    FUZZ_CHECK(save_ecu_info_json() == 1);
    std::string written;
    {
        std::ifstream file(path, std::ios::binary);
        written.assign(std::istreambuf_iterator<char>(file), {});
    }
    FUZZ_CHECK(fuzz_json_parses(written.c_str()));
    FUZZ_CHECK(written.find('\0') == std::string::npos);
    FUZZ_CHECK(compare_vehicle_info_with_saved() == (fingerprint_complete() ? 1 : 0));
    return 0;
}
