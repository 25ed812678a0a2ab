#include "obd2/can_link.h"

#include "handover/supervision_cells.h"
#include "handover/thread_handover.h"
#include "handover/ui_state_cells.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/can/error.h>
#include <net/if.h>
#include <string>
#include <sys/wait.h>
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

// What the exchanges found and how the bring-ups fare; OBD thread only.
struct link_watch {
    const char *down_reason = nullptr; // null while nothing was found
    bool configured = false;           // a can_setup has run
    long long bitrate = 0;             // of the last can_setup
    steady::time_point last_try{};     // when the last bring-up ended, whatever came of it
    int failed_tries = 0;              // bring-ups failed in a row
    std::string failure;               // why the last one failed; "" after a success
    bool reported = false;             // a line said the link is down; the next success says it is up
};
link_watch watch;

// The pause after the last bring-up: 2 s after a success or a first
// failure, doubling with every further failure, never more than 60 s.
steady::duration pause_after_last_try()
{
    const int doublings = std::clamp(watch.failed_tries - 1, 0, 6);
    return std::min<steady::duration>(CAN_BRINGUP_INTERVAL * (1 << doublings), CAN_BRINGUP_LONGEST_PAUSE);
}

// Paced from the end of a try: a sudo that takes its time (a loaded board)
// does not eat into the pause.
steady::time_point next_try() { return watch.last_try + pause_after_last_try(); }

long long seconds_until(steady::time_point at)
{
    const auto left = std::chrono::ceil<std::chrono::seconds>(at - steady::now());
    return std::max<long long>(left.count(), 0);
}

// One line per new reason, not one per try: the journal lives on flash.
void record_failure(const std::string &why)
{
    watch.last_try = steady::now();
    ++watch.failed_tries;
    if (why != watch.failure)
        std::printf("OBD2_ERROR : CAN link bring-up failed: %s; next try in %lld s, then less and less often\n",
                    why.c_str(), seconds_until(next_try()));
    watch.failure = why;
    watch.reported = true;
    watch.down_reason = "bring-up failed";
    set_ui_link_up(false);
}

void record_success()
{
    watch.last_try = steady::now();
    if (watch.reported && watch.failed_tries > 0)
        std::printf("OBD2_INFO : CAN link %s up again at %lld bit/s after %d failed bring-up(s)\n",
                    CAN_INTERFACE_NAME, watch.bitrate, watch.failed_tries);
    else if (watch.reported)
        std::printf("OBD2_INFO : CAN link %s up again at %lld bit/s\n", CAN_INTERFACE_NAME, watch.bitrate);
    watch.down_reason = nullptr;
    watch.failed_tries = 0;
    watch.failure.clear();
    watch.reported = false;
}

// A shell command's status as system() returns it, in words.
std::string command_failure(const char *command, int status)
{
    std::string text = std::string("\"") + command + "\" ";
    if (status == -1)
        return text + "could not be run";
    if (WIFSIGNALED(status))
        return text + "killed by signal " + std::to_string(WTERMSIG(status));
    return text + "exited with " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : status);
}

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
// thread's whole bound (OBD_PROGRESS_BOUND, session.cpp). The command's
// failure in words, "" when it succeeded.
std::string run_shell_command(const char *command)
{
    mark_progress(worker::obd_session);
    const int status = platform_run_shell(command);
    return status == 0 ? std::string() : command_failure(command, status);
}

// The three commands, in order. A failed "down" ends the sequence (a refused
// sudo is refused again at once, and sudo logs each refusal; an adapter that
// is gone stays gone). A failed bitrate command does not: an interface
// without bit timing (vcan) refuses it and comes up with the plain "up". The
// plain "up" decides; when both failed, the bitrate command's failure is the
// reason. False, with the failure recorded, when the link is not up.
bool run_bring_up(const char *ifname, long long bitrate)
{
    watch.configured = true;
    watch.bitrate = bitrate;
    char command[CAN_COMMAND_SIZE];
    std::snprintf(command, sizeof(command), "sudo ip link set %s down", ifname);
    std::string failure = run_shell_command(command);
    if (failure.empty()) {
        std::snprintf(command, sizeof(command), "sudo ip link set %s up type can bitrate %lld", ifname, bitrate);
        const std::string bitrate_failure = run_shell_command(command);
        std::snprintf(command, sizeof(command), "sudo ip link set %s up", ifname);
        failure = run_shell_command(command);
        if (!failure.empty() && !bitrate_failure.empty())
            failure = bitrate_failure;
    }
    if (!failure.empty())
        record_failure(failure);
    return failure.empty();
}

// After the commands: the sockets open again and the interface says it is up.
bool link_came_up()
{
    if (init_can_socket() == 0) {
        record_failure("CAN sockets not reopened");
        return false;
    }
    const int flags = platform_can_if_flags(can_cfg[0].sock_fd, CAN_INTERFACE_NAME);
    if (flags >= 0 && !(flags & IFF_UP)) {
        record_failure(std::string(CAN_INTERFACE_NAME) + " still down after the bring-up");
        return false;
    }
    return true;
}

} // namespace

int can_setup(const char *ifname, long long bitrate)
{
    if (!run_bring_up(ifname ? ifname : CAN_INTERFACE_NAME, bitrate))
        return 0;
    record_success();
    return 1;
}

std::chrono::milliseconds can_link_backoff_left()
{
    if (watch.failed_tries == 0)
        return std::chrono::milliseconds(0);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_try() - steady::now());
    return std::max(left, std::chrono::milliseconds(0));
}

bool can_link_down(std::string &reason, std::chrono::steady_clock::time_point &next)
{
    if (!watch.reported)
        return false;
    reason = watch.failure.empty() ? watch.down_reason : watch.failure;
    next = next_try();
    return true;
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
    if (!watch.down_reason || steady::now() < next_try())
        return false;
    if (!watch.reported) {
        std::printf("OBD2_INFO : CAN link lost (%s): bringing %s up again at %lld bit/s\n", watch.down_reason,
                    CAN_INTERFACE_NAME, watch.bitrate);
        watch.reported = true;
    }
    if (run_bring_up(CAN_INTERFACE_NAME, watch.bitrate) && link_came_up())
        record_success();
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
