// An OBD-on-UDS vehicle through the daemon: the same status words and
// documents as the classic vehicle with the same data, and vehicles of the
// two dialects swapped at the socket.
#include "e2e_rig.h"

#include "c_handles.h"
#include "common/text_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace {

constexpr const char *DEMO_CODES =
    R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}})";
constexpr const char *CLEARED_CODES =
    R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":[],"PRMDTC":["P0420"]}})";
constexpr const char *DEMO_READINESS =
    R"({"TYP":1,"CMD":20,"DATA":{"MIL":1,"DTC_COUNT":2,"IGNITION":"spark","MONITORS":{)"
    R"("MISFIRE":"complete","FUEL_SYSTEM":"complete","COMPONENTS":"complete",)"
    R"("CATALYST":"complete","HEATED_CATALYST":"unsupported","EVAP_SYSTEM":"incomplete",)"
    R"("SECONDARY_AIR":"unsupported","AC_REFRIGERANT":"unsupported",)"
    R"("O2_SENSOR":"complete","O2_SENSOR_HEATER":"complete","EGR_VVT":"incomplete"}}})";
constexpr const char *DEMO_FRAME = R"({"TYP":1,"CMD":21,"DATA":{"DTC":"P0420","VALUES":{"ENGLD":29.80,"COLTMP":90.00,)"
                                   R"("INTPRS":40.00,"ENGRPM":850.00,"SPD":0.00,"STFT1":0.78}}})";

ecu_profile uds_vehicle(const char *file_name)
{
    ecu_profile profile = e2e_vehicle(file_name);
    profile.obd_on_uds = true;
    return profile;
}

// "PROTO" of the ECU info file, once the daemon wrote `expected` there.
bool proto_becomes(const e2e_rig &rig, const std::string &expected)
{
    for (int i = 0; i < 300; ++i) {
        std::string text;
        if (read_text_file(rig.ecu_info_path().c_str(), text) == text_file_status::ok) {
            json_ptr doc(cJSON_Parse(text.c_str()));
            const cJSON *info = cJSON_GetObjectItemCaseSensitive(doc.get(), "ECU_INFO");
            const cJSON *proto = cJSON_GetObjectItemCaseSensitive(info, "PROTO");
            if (cJSON_IsString(proto) && expected == proto->valuestring)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

std::size_t classic_requests(ecu_sim &sim)
{
    auto records = ecu_sim_requests(sim);
    return std::count_if(records.begin(), records.end(), [](const ecu_sim_record &r) {
        const std::uint8_t service = r.frame.data[1];
        return (r.frame.data[0] & 0xF0) == 0 && service != 0x22 && service != 0x19 && service != 0x14 &&
               !(service == 0x01 && r.frame.data[2] == 0x00); // the detection and heartbeat probe
    });
}

} // namespace

TEST(E2eObdOnUds, ElevenBitVehicleGivesTheClassicDocuments)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.plug_in(uds_vehicle("demo_petrol_11bit.json")));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    EXPECT_TRUE(proto_becomes(rig, "ISO15765-4 (11-bit, OBD on UDS)"));

    ASSERT_TRUE(rig.send_command(1));
    EXPECT_TRUE(rig.skip_until(DEMO_CODES));
    ASSERT_TRUE(rig.send_command(20));
    EXPECT_TRUE(rig.skip_until(DEMO_READINESS));
    ASSERT_TRUE(rig.send_command(21));
    EXPECT_TRUE(rig.skip_until(DEMO_FRAME));
    ASSERT_TRUE(rig.send_command(2));
    std::optional<mqtt_test_message> live;
    do
        live = rig.next_message();
    while (live && e2e_message_cmd(live->payload) != 2);
    ASSERT_TRUE(live);
    EXPECT_NE(live->payload.find("\"ENGRPM\": 850.00"), std::string::npos) << live->payload;
    ASSERT_TRUE(rig.send_command(3));
    ASSERT_TRUE(rig.skip_until(e2e_status("ECU")));

    ASSERT_TRUE(rig.send_command(4));
    EXPECT_TRUE(rig.skip_until(e2e_status("DTC_CLEARED", 4)));
    ASSERT_TRUE(rig.send_command(1));
    EXPECT_TRUE(rig.skip_until(CLEARED_CODES));
    ASSERT_TRUE(rig.send_command(21));
    EXPECT_TRUE(rig.skip_until(R"({"TYP":1,"CMD":21,"DATA":{"DTC":"","VALUES":{}}})"));
    // Besides the probes of detection, nothing classic was asked.
    EXPECT_EQ(classic_requests(rig.sim()), 0u);
}

TEST(E2eObdOnUds, VehiclesOfBothDialectsSwapBothWays)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    const struct {
        const char *file;
        bool uds;
        const char *proto;
        const char *codes;
    } vehicles[] = {
        {"demo_29bit.json", true, "ISO15765-4 (29-bit, OBD on UDS)",
         R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0301"],"PNDDTC":["P0301"],"PRMDTC":[]}})"},
        {"demo_second_car_11bit.json", false, "ISO15765-4 (11-bit)",
         R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0171"],"PNDDTC":["P0171","P0300"],"PRMDTC":[]}})"},
        {"demo_petrol_11bit.json", true, "ISO15765-4 (11-bit, OBD on UDS)", DEMO_CODES},
    };
    bool first = true;
    for (const auto &vehicle : vehicles) {
        const ecu_profile profile = vehicle.uds ? uds_vehicle(vehicle.file) : e2e_vehicle(vehicle.file);
        if (first) {
            ASSERT_TRUE(rig.plug_in(profile));
        } else {
            // One car unplugged, the other plugged in at the same socket.
            rig.set_unplugged(true);
            ASSERT_TRUE(rig.skip_until(e2e_status("NOECU", 0, 1))) << vehicle.proto;
            ecu_sim_set_profile(rig.sim(), profile);
            rig.set_unplugged(false);
        }
        if (first)
            ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
        else
            ASSERT_TRUE(rig.expect_words({"GOTECU", "MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}))
                << vehicle.proto;
        EXPECT_TRUE(proto_becomes(rig, vehicle.proto));
        ASSERT_TRUE(rig.send_command(1));
        EXPECT_TRUE(rig.skip_until(vehicle.codes)) << vehicle.proto;
        first = false;
    }
}
