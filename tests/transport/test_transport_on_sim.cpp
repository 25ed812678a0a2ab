// The transport against the ECU simulator over the host-simulation socket:
// bring-up through the seam, single and multi-frame answers, detection.
#include "can_peer.h"
#include "temp_dir.h"

#include "ecu_sim.h"
#include "obd2/can_link.h"
#include "obd2/config_file.h"
#include "obd2/isotp.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <string>

using bytes = std::vector<std::uint8_t>;

namespace {

const char *const ONE_ECU_11BIT = R"({
  "name": "test car", "addressing": "11bit", "fill_byte": "0x55",
  "ecus": [{ "name": "ECM", "response_id": "0x7E8", "physical_id": "0x7E0",
             "vin": "WVWZZZ1JZXW000001", "pids": { "0C": ["0C D0"] } }]
})";

const char *const TCM_ONLY_11BIT = R"({
  "name": "second ECU answers", "addressing": "11bit", "fill_byte": "0x55",
  "ecus": [{ "name": "TCM", "response_id": "0x7E9", "physical_id": "0x7E1",
             "vin": "WVWZZZ1JZXW000009" }]
})";

const char *const TWO_ECUS_11BIT = R"({
  "name": "two ECUs", "addressing": "11bit", "fill_byte": "0x55",
  "ecus": [{ "name": "ECM", "response_id": "0x7E8", "physical_id": "0x7E0",
             "ecu_name": "ECM-EngineControl" },
           { "name": "TCM", "response_id": "0x7E9", "physical_id": "0x7E1",
             "ecu_name": "TCM-TransmissionCtl" }]
})";

const char *const ONE_ECU_29BIT = R"({
  "name": "29-bit car", "addressing": "29bit", "fill_byte": "0x00",
  "ecus": [{ "name": "ECM", "response_id": "0x18DAF110", "physical_id": "0x18DA10F1",
             "vin": "WVWZZZ1JZXW000029", "pids": { "0C": ["1F 40"] } }]
})";

const bytes PID00 = {0x02, 0x01, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
const bytes PID0C = {0x02, 0x01, 0x0C, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
const bytes VIN = {0x02, 0x09, 0x02, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
const bytes ECU_NAME = {0x02, 0x09, 0x0A, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};

class TransportOnSim : public testing::Test {
protected:
    temp_dir dir{"diag-transport-sim-"};
    std::string socket_path = dir.file("ecu.sock");
    scoped_env can_socket{"DIAG_GW_CAN_SOCKET", socket_path};
    ecu_sim_ptr sim;
    std::array<std::uint8_t, OBD2_RESPONSE_SIZE> resp{};
    std::uint64_t resp_len = 0;

    void SetUp() override { g_can_padding = 0xAA; }
    void TearDown() override { close_can_sockets(); }

    // Starts the simulator with `profile_json` and brings both sockets up on it.
    void start(const char *profile_json)
    {
        ecu_profile profile;
        std::string error;
        ASSERT_TRUE(ecu_profile_from_json(profile_json, profile, error)) << error;
        sim = ecu_sim_start_unix(profile, socket_path, ecu_sim_options{}, error);
        ASSERT_TRUE(sim) << error;
        ASSERT_EQ(init_can_socket(), 1);
        ASSERT_TRUE(ecu_sim_wait_for_clients(*sim, 2, 5s));
    }

    int request(int mode, const bytes &req, int kind)
    {
        return send_obd2_request(mode, req.data(), req.size(), resp.data(), &resp_len, kind);
    }

    bytes answer() const { return {resp.begin(), resp.begin() + static_cast<std::ptrdiff_t>(resp_len)}; }

    // Frames the tester sent, in order.
    std::vector<can_frame> tester_frames() const
    {
        std::vector<can_frame> frames;
        for (const ecu_sim_record &r : ecu_sim_requests(*sim))
            frames.push_back(r.frame);
        return frames;
    }
};

bytes vin_answer(const std::string &vin)
{
    bytes expected(4 + vin.size());
    expected[0] = static_cast<std::uint8_t>(3 + vin.size());
    expected[1] = 0x49;
    expected[2] = 0x02;
    expected[3] = 0x01;
    std::copy(vin.begin(), vin.end(), expected.begin() + 4);
    return expected;
}

TEST_F(TransportOnSim, SingleFramePidAnswer)
{
    start(ONE_ECU_11BIT);
    ASSERT_EQ(request(1, PID0C, REQ_KIND_LIVE), 0);
    EXPECT_EQ(answer(), (bytes{0x04, 0x41, 0x0C, 0x0C, 0xD0, 0x55, 0x55, 0x55}));
    auto sent = tester_frames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].can_id, 0x7DFu);
    EXPECT_EQ(can_frame_bytes(sent[0]), PID0C);
}

TEST_F(TransportOnSim, MultiFrameVinWithFlowControl)
{
    start(ONE_ECU_11BIT);
    ASSERT_EQ(request(1, VIN, REQ_KIND_VEHICLE_INFO), 0);
    EXPECT_EQ(answer(), vin_answer("WVWZZZ1JZXW000001"));
    auto sent = tester_frames();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].can_id, 0x7E0u);
    EXPECT_EQ(can_frame_bytes(sent[1]), (bytes{0x30, 0x00, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
}

TEST_F(TransportOnSim, MultiFrameFromSecondEcuCompletes)
{
    start(TCM_ONLY_11BIT); // listens for flow control on 0x7E1 only
    ASSERT_EQ(request(1, VIN, REQ_KIND_VEHICLE_INFO), 0);
    EXPECT_EQ(answer(), vin_answer("WVWZZZ1JZXW000009"));
    EXPECT_EQ(tester_frames().at(1).can_id, 0x7E1u);
}

TEST_F(TransportOnSim, TwoEcusAnsweringAtOnceDoNotMix)
{
    start(TWO_ECUS_11BIT);
    ASSERT_EQ(request(1, ECU_NAME, REQ_KIND_VEHICLE_INFO), 0);
    bytes got = answer();
    ASSERT_GT(got.size(), 4u);
    std::string name(got.begin() + 4, got.end());
    name = name.c_str(); // zero padding
    EXPECT_TRUE(name == "ECM-EngineControl" || name == "TCM-TransmissionCtl") << name;
}

TEST_F(TransportOnSim, MultiFrameVinOn29Bit)
{
    start(ONE_ECU_29BIT);
    ASSERT_EQ(request(2, VIN, REQ_KIND_VEHICLE_INFO), 0);
    EXPECT_EQ(answer(), vin_answer("WVWZZZ1JZXW000029"));
    auto sent = tester_frames();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].can_id, 0x18DB33F1u | CAN_EFF_FLAG);
    EXPECT_EQ(sent[1].can_id, 0x18DA10F1u | CAN_EFF_FLAG);
}

TEST_F(TransportOnSim, DetectsElevenBitVehicle)
{
    start(ONE_ECU_11BIT);
    EXPECT_EQ(detect_mode(PID00.data(), PID00.size(), resp.data(), &resp_len), 1);
    EXPECT_EQ(resp_len, 8u);
    EXPECT_EQ(resp[1], 0x41);
    EXPECT_EQ(resp[2], 0x00);
}

TEST_F(TransportOnSim, DetectsTwentyNineBitVehicle)
{
    start(ONE_ECU_29BIT);
    EXPECT_EQ(detect_mode(PID00.data(), PID00.size(), resp.data(), &resp_len), 2);
    EXPECT_EQ(resp[1], 0x41);
    auto sent = tester_frames();
    ASSERT_EQ(sent.size(), 2u); // 11-bit try first, unanswered
    EXPECT_EQ(sent[0].can_id, 0x7DFu);
    EXPECT_EQ(sent[1].can_id, 0x18DB33F1u | CAN_EFF_FLAG);
}

TEST_F(TransportOnSim, SilentVehicleIsNotDetected)
{
    start(ONE_ECU_11BIT);
    ecu_sim_set_connected(*sim, false);
    EXPECT_EQ(detect_mode(PID00.data(), PID00.size(), resp.data(), &resp_len), 0);
    EXPECT_TRUE(ecu_sim_wait_for_requests(*sim, 2, 5s)); // one try per addressing mode
}

TEST_F(TransportOnSim, InjectedJunkDoesNotDisturbTheNextAnswer)
{
    start(ONE_ECU_11BIT);
    can_frame junk = make_can_frame(0x7E8, {0x21, 1, 2, 3, 4, 5, 6, 7});
    junk.len = 15;
    ASSERT_TRUE(ecu_sim_inject_frame(*sim, junk));
    ASSERT_TRUE(ecu_sim_inject_frame(*sim, make_can_frame(0x7E8, {0x06, 0x41, 0x0C, 0xFF, 0xFF})));
    ASSERT_EQ(request(1, PID0C, REQ_KIND_LIVE), 0);
    EXPECT_EQ(answer(), (bytes{0x04, 0x41, 0x0C, 0x0C, 0xD0, 0x55, 0x55, 0x55}));
}

} // namespace

// The longest answer ISO-TP can carry leaves the simulator in one burst of
// 585 consecutive frames; all of it must arrive and reassemble.
TEST_F(TransportOnSim, LongestAnswerArrivesWhole)
{
    ecu_profile profile;
    std::string error;
    ASSERT_TRUE(ecu_profile_from_json(ONE_ECU_11BIT, profile, error)) << error;
    bytes name(4093);
    for (std::size_t i = 0; i < name.size(); ++i)
        name[i] = static_cast<std::uint8_t>('A' + i % 26);
    profile.ecus[0].info[0x0A] = name; // 49 0A + 4093 bytes = 4095, the 12-bit maximum
    sim = ecu_sim_start_unix(profile, socket_path, ecu_sim_options{}, error);
    ASSERT_TRUE(sim) << error;
    ASSERT_EQ(init_can_socket(), 1);
    ASSERT_TRUE(ecu_sim_wait_for_clients(*sim, 2, 5s));

    ASSERT_EQ(request(1, ECU_NAME, REQ_KIND_VEHICLE_INFO), 0);
    ASSERT_EQ(resp_len, 4096u);
    EXPECT_EQ(resp[0], 0xFF); // low byte of the length 4095
    EXPECT_EQ(resp[1], 0x49);
    EXPECT_EQ(resp[2], 0x0A);
    EXPECT_TRUE(std::equal(name.begin(), name.end(), resp.begin() + 3));
}
