// config.json with any content, read by parse_config_json from a real file:
// it is taken exactly when it is JSON, and the configuration stays within
// its bounds.
#include "fuzz_support.h"

#include "obd2/config_file.h"

#include <cstring>
#include <fstream>
#include <string>

namespace {

bool name_is_terminated(const char (&name)[CONFIG_NAME_SIZE])
{
    return std::memchr(name, '\0', CONFIG_NAME_SIZE) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string path = fuzz_config_dir() + "/config.json";
    const std::string content(reinterpret_cast<const char *>(data), size);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;

    g_can_padding = 11;
    g_can_bitrate = 22;
    g_live_sensor_count = 5;
    g_dtc_count = 2;
    const int result = parse_config_json(path.c_str());
    print_config_summary();

    // The text ends at its first NUL, as the JSON parser reads it.
    FUZZ_CHECK(result == (fuzz_json_parses(content.c_str()) ? 1 : 0));
    if (result == 0) {
        FUZZ_CHECK(g_can_padding == 11 && g_can_bitrate == 22);
        FUZZ_CHECK(g_live_sensor_count == 5 && g_dtc_count == 2);
        return 0;
    }
    FUZZ_CHECK(g_live_sensor_count >= 0 && g_live_sensor_count <= MAX_LIVE_SENSORS);
    FUZZ_CHECK(g_dtc_count >= 0 && g_dtc_count <= MAX_DTC_KINDS);
    for (const auto &name : g_live_sensor_names)
        FUZZ_CHECK(name_is_terminated(name));
    for (const auto &name : g_dtc_names)
        FUZZ_CHECK(name_is_terminated(name));
    return 0;
}
