// Interface bring-up and the two sockets, through the host-simulation seam.
#include "can_peer.h"
#include "temp_dir.h"

#include "hostsim_wire.h"
#include "obd2/can_link.h"
#include "obd2/isotp.h"
#include "platform/hostsim_hooks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <linux/can/error.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

int open_descriptor_count()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

// A bare listener standing in for the simulator: accepts connections and
// reads what the daemon's seam sends on them.
class wire_listener {
public:
    explicit wire_listener(const std::string &path)
    {
        listen_fd_.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        EXPECT_EQ(bind(listen_fd_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        EXPECT_EQ(listen(listen_fd_.get(), 8), 0);
    }

    unique_fd accept_client()
    {
        pollfd pfd{listen_fd_.get(), POLLIN, 0};
        if (poll(&pfd, 1, 5000) <= 0)
            return unique_fd();
        return unique_fd(accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

    // Next record on `client` (its size tells its kind), empty at the end of the stream.
    static std::vector<std::uint8_t> read_record(int client)
    {
        pollfd pfd{client, POLLIN, 0};
        if (poll(&pfd, 1, 5000) <= 0)
            return {};
        std::vector<std::uint8_t> record(64);
        ssize_t n = recv(client, record.data(), record.size(), 0);
        record.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return record;
    }

private:
    unique_fd listen_fd_;
};

class CanLink : public testing::Test {
protected:
    temp_dir dir{"diag-canlink-"};
    scoped_env socket_path{"DIAG_GW_CAN_SOCKET", dir.file("ecu.sock")};

    void TearDown() override
    {
        hostsim_set_ifindex_failure(nullptr);
        hostsim_set_interface_up(true);
        close_can_sockets();
    }
};

TEST_F(CanLink, SetupRunsThreeIpCommandsAndAlwaysSucceeds)
{
    CaptureStdout();
    EXPECT_EQ(can_setup("can0", 500000), 1);
    EXPECT_EQ(GetCapturedStdout(), "SIM_SHELL : sudo ip link set can0 down\n"
                                   "SIM_SHELL : sudo ip link set can0 up type can bitrate 500000\n"
                                   "SIM_SHELL : sudo ip link set can0 up\n");
}

TEST_F(CanLink, SetupCutsCommandsToTheBuffer)
{
    std::string name(200, 'c');
    CaptureStdout();
    EXPECT_EQ(can_setup(name.c_str(), 500000), 1);
    std::string out = GetCapturedStdout();
    std::string first = out.substr(0, out.find('\n'));
    EXPECT_EQ(first, "SIM_SHELL : " + ("sudo ip link set " + name).substr(0, CAN_COMMAND_SIZE - 1));
}

TEST_F(CanLink, FailingBindIsReportedPerRow)
{
    CaptureStderr();
    EXPECT_EQ(init_can_socket(), 0);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err, "CAN socket bind failed: No such file or directory\n"
                   "CAN socket bind failed: No such file or directory\n");
    EXPECT_EQ(can_cfg[0].sock_fd, -1);
    EXPECT_EQ(can_cfg[1].sock_fd, -1);
}

TEST_F(CanLink, RetriesDoNotAccumulateDescriptors)
{
    int before = open_descriptor_count();
    CaptureStderr();
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(init_can_socket(), 0);
    GetCapturedStderr();
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(CanLink, InstallsEachRowsFilterAndErrorMask)
{
    wire_listener sim(dir.file("ecu.sock"));
    EXPECT_EQ(init_can_socket(), 1);
    for (int row = 0; row < 2; ++row) {
        SCOPED_TRACE(row);
        unique_fd client = sim.accept_client();
        ASSERT_TRUE(client);
        std::vector<std::uint8_t> record = wire_listener::read_record(client.get());
        ASSERT_EQ(record.size(), sizeof(can_filter));
        can_filter filter;
        std::memcpy(&filter, record.data(), sizeof(filter));
        EXPECT_EQ(filter.can_id, row == 0 ? 0x7E8u : 0x18DAF110u);
        EXPECT_EQ(filter.can_mask, row == 0 ? 0x7F8u : 0x1FFFFFFFu);
        record = wire_listener::read_record(client.get());
        ASSERT_EQ(record.size(), sizeof(can_err_mask_t));
        can_err_mask_t mask;
        std::memcpy(&mask, record.data(), sizeof(mask));
        EXPECT_EQ(mask, CAN_ERR_TX_TIMEOUT | CAN_ERR_CRTL | CAN_ERR_BUSOFF);
    }
    EXPECT_GE(can_cfg[0].sock_fd, 0);
    EXPECT_GE(can_cfg[1].sock_fd, 0);
    EXPECT_NE(can_cfg[0].sock_fd, can_cfg[1].sock_fd);
}

TEST_F(CanLink, AnotherBringUpClosesTheEarlierSockets)
{
    wire_listener sim(dir.file("ecu.sock"));
    ASSERT_EQ(init_can_socket(), 1);
    unique_fd first = sim.accept_client(), second = sim.accept_client();
    ASSERT_TRUE(first && second);
    int before = open_descriptor_count();
    ASSERT_EQ(init_can_socket(), 1);
    EXPECT_EQ(open_descriptor_count(), before);
    // The earlier connections end: after their two set-up records, end of stream.
    for (int fd : {first.get(), second.get()}) {
        wire_listener::read_record(fd);
        wire_listener::read_record(fd);
        EXPECT_TRUE(wire_listener::read_record(fd).empty());
    }
}

// A missing interface fails each row at its lookup; a row that fails alone
// leaves the other one fully set up, and the bring-up still reports failure.
TEST_F(CanLink, InterfaceLookupFailureEndsOnlyItsOwnRow)
{
    wire_listener sim(dir.file("ecu.sock"));
    hostsim_set_ifindex_failure([](int) { return ENODEV; });
    CaptureStderr();
    EXPECT_EQ(init_can_socket(), 0);
    EXPECT_EQ(GetCapturedStderr(), "CAN interface index failed: No such device\n"
                                   "CAN interface index failed: No such device\n");
    EXPECT_EQ(can_cfg[0].sock_fd, -1);
    EXPECT_EQ(can_cfg[1].sock_fd, -1);

    hostsim_set_ifindex_failure([](int fd) { return fd == can_cfg[1].sock_fd ? ENODEV : 0; });
    CaptureStderr();
    EXPECT_EQ(init_can_socket(), 0);
    EXPECT_EQ(GetCapturedStderr(), "CAN interface index failed: No such device\n");
    EXPECT_GE(can_cfg[0].sock_fd, 0);
    EXPECT_EQ(can_cfg[1].sock_fd, -1);
    unique_fd eleven_bit = sim.accept_client();
    ASSERT_TRUE(eleven_bit);
    EXPECT_EQ(wire_listener::read_record(eleven_bit.get()).size(), sizeof(can_filter));
    EXPECT_EQ(wire_listener::read_record(eleven_bit.get()).size(), sizeof(can_err_mask_t));
}

// A send refused because can0 is down: the bring-up runs again with the
// bitrate of the last one, not before 2 s have passed since it, and the
// sockets are reopened; afterwards nothing more is run.
TEST_F(CanLink, SendOnADownInterfaceBringsItUpAgainPaced)
{
    wire_listener sim(dir.file("ecu.sock"));
    CaptureStdout();
    can_setup("can0", 250000);
    GetCapturedStdout();
    ASSERT_EQ(init_can_socket(), 1);
    unique_fd first = sim.accept_client(), second = sim.accept_client();
    ASSERT_TRUE(first && second);
    const auto set_up_at = std::chrono::steady_clock::now();

    hostsim_set_interface_up(false);
    const std::uint8_t request[8] = {0x02, 0x01, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55};
    std::uint8_t resp[OBD2_RESPONSE_SIZE];
    std::uint64_t resp_len = 0;
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(send_obd2_request(ADDR_MODE_11BIT, request, sizeof request, resp, &resp_len, REQ_KIND_DETECT), -1);
    EXPECT_EQ(GetCapturedStderr(), "CAN write failed: Network is down\n");
    EXPECT_FALSE(can_link_recover()) << "within 2 s of the last bring-up";
    GetCapturedStdout();

    std::this_thread::sleep_until(set_up_at + CAN_BRINGUP_INTERVAL);
    CaptureStdout();
    EXPECT_TRUE(can_link_recover());
    EXPECT_FALSE(can_link_recover());
    EXPECT_EQ(GetCapturedStdout(), "OBD2_INFO : CAN link lost (Network is down): bringing can0 up again at 250000 bit/s\n"
                                   "SIM_SHELL : sudo ip link set can0 down\n"
                                   "SIM_SHELL : sudo ip link set can0 up type can bitrate 250000\n"
                                   "SIM_SHELL : sudo ip link set can0 up\n"
                                   "OBD2_INFO : CAN link can0 up again at 250000 bit/s\n");
    unique_fd third = sim.accept_client(), fourth = sim.accept_client();
    EXPECT_TRUE(third && fourth) << "both sockets reopened";
}

} // namespace
