#include "obd2/can_link.h"

#include "handover/supervision_cells.h"
#include "handover/thread_handover.h"
#include "handover/ui_state_cells.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/can/error.h>
#include <net/if.h>
#include <unistd.h>

can_cfg_entry can_cfg[2] = {
    {-1, 0x7DF, 0x7E8, 0x7F8},                // 11-bit: answers 0x7E8..0x7EF
    {-1, 0x18DB33F1, 0x18DAF110, 0x1FFFFFFF}, // 29-bit: answers from ECU 0x10 to tester 0xF1
};

namespace {

// Error frames reporting a transmission timeout, a controller problem or
// bus-off are delivered too: a controller left in bus-off must be noticed.
constexpr can_err_mask_t CAN_ERROR_MASK = CAN_ERR_TX_TIMEOUT | CAN_ERR_CRTL | CAN_ERR_BUSOFF;

using steady = std::chrono::steady_clock;

// What the exchanges found since the last bring-up; OBD thread only.
struct link_watch {
    const char *down_reason = nullptr; // null while nothing was found
    bool configured = false;           // a can_setup has run
    long long bitrate = 0;             // of the last can_setup
    steady::time_point last_setup{};
};
link_watch watch;

void note_down(const char *reason)
{
    if (!watch.down_reason)
        watch.down_reason = reason;
    set_ui_link_up(false);
}

void close_row(can_cfg_entry &row)
{
    if (row.sock_fd >= 0)
        ::close(row.sock_fd);
    row.sock_fd = -1;
}

// Reports a failed step, closes the row's socket, returns false.
bool fail_row(can_cfg_entry &row, const char *what)
{
    std::perror(what);
    close_row(row);
    return false;
}

// Runs the steps of one row in order; the first failing step ends the row.
bool bring_up_row(can_cfg_entry &row, int socket_errno)
{
    if (row.sock_fd < 0) {
        errno = socket_errno;
        std::perror("CAN socket creation failed");
        row.sock_fd = -1;
        return false;
    }
    int ifindex = platform_can_ifindex(row.sock_fd, CAN_INTERFACE_NAME);
    if (ifindex < 0)
        return fail_row(row, "CAN interface index failed");
    if (platform_can_bind(row.sock_fd, ifindex) < 0)
        return fail_row(row, "CAN socket bind failed");
    struct can_filter filter {};
    filter.can_id = row.resp_filter_id;
    filter.can_mask = row.resp_filter_mask;
    if (platform_can_set_filter(row.sock_fd, filter) < 0)
        return fail_row(row, "CAN filter setup failed");
    if (platform_can_set_err_mask(row.sock_fd, CAN_ERROR_MASK) < 0) {
        // The socket still works without error frames; it stays open.
        std::perror("CAN error filter setup failed");
        return false;
    }
    return true;
}

// sudo and ip normally take a fraction of a second; each gets the OBD
// thread's whole bound (OBD_PROGRESS_BOUND, session.cpp).
void run_shell_command(const char *command)
{
    mark_progress(worker::obd_session);
    platform_run_shell(command);
}

} // namespace

int can_setup(const char *ifname, long long bitrate)
{
    if (!ifname)
        ifname = CAN_INTERFACE_NAME;
    char command[CAN_COMMAND_SIZE];
    std::snprintf(command, sizeof(command), "sudo ip link set %s down", ifname);
    run_shell_command(command);
    std::snprintf(command, sizeof(command), "sudo ip link set %s up type can bitrate %lld", ifname,
                  bitrate);
    run_shell_command(command);
    std::snprintf(command, sizeof(command), "sudo ip link set %s up", ifname);
    run_shell_command(command);
    watch.down_reason = nullptr;
    watch.configured = true;
    watch.bitrate = bitrate;
    watch.last_setup = steady::now();
    return 1;
}

void can_link_note_failure(int err)
{
    switch (err) {
    case ENETDOWN: // the interface is down
    case ENODEV:   // it went away under a bound socket
    case ENXIO:
    case EBADF:    // the socket could not be (re)opened
        note_down(std::strerror(err));
        break;
    default: // ENOBUFS and the like: a busy or unacknowledged bus, not a dead link
        break;
    }
}

bool can_link_note_frame(const struct can_frame &frame)
{
    // A report that also says restarted comes from a controller that is back
    // on the bus (the interface restarts it on its own when so configured).
    const canid_t id = frame.can_id;
    if (!(id & CAN_ERR_FLAG) || !(id & CAN_ERR_BUSOFF) || (id & CAN_ERR_RESTARTED))
        return false;
    note_down("controller bus-off");
    return true;
}

void can_link_check_interface(int fd)
{
    const int flags = platform_can_if_flags(fd, CAN_INTERFACE_NAME);
    if (flags >= 0 && !(flags & IFF_UP))
        note_down("interface down");
}

bool can_link_recover()
{
    if (!watch.configured || shutdown_requested())
        return false;
    if (!watch.down_reason) {
        // Set down by another tool: noticed before an exchange fails on it.
        for (const can_cfg_entry &row : can_cfg) {
            if (row.sock_fd >= 0) {
                can_link_check_interface(row.sock_fd);
                break;
            }
        }
    }
    if (!watch.down_reason || steady::now() - watch.last_setup < CAN_BRINGUP_INTERVAL)
        return false;
    std::printf("OBD2_INFO : CAN link lost (%s): bringing %s up again at %lld bit/s\n", watch.down_reason,
                CAN_INTERFACE_NAME, watch.bitrate);
    can_setup(CAN_INTERFACE_NAME, watch.bitrate);
    if (init_can_socket() == 0)
        note_down("sockets not reopened");
    return true;
}

void close_can_sockets()
{
    for (can_cfg_entry &row : can_cfg)
        close_row(row);
}

int init_can_socket()
{
    close_can_sockets();
    // Both sockets exist before either is set up, whichever mode the ECU uses.
    int socket_errno[2] = {};
    for (int i = 0; i < 2; ++i) {
        errno = 0;
        can_cfg[i].sock_fd = platform_can_socket();
        socket_errno[i] = errno;
    }
    int result = 1;
    for (int i = 0; i < 2; ++i) {
        if (!bring_up_row(can_cfg[i], socket_errno[i]))
            result = 0;
    }
    set_ui_link_up(result == 1);
    return result;
}
