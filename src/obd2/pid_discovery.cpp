#include "obd2/pid_discovery.h"

#include "mqtt/status_packet.h"
#include "obd2/dialect/obd_dialect.h"
#include "obd2/isotp.h"
#include "obd2/obd2_types.h"
#include "obd2/pid_catalogue.h"

#include <cstdio>

int g_pid_availability[PID_AVAILABILITY_SIZE];

namespace {

// Rows ENGLD, COLTMP, FULPRS, INTPRS, ENGRPM: what almost every ECU answers.
constexpr int DEFAULT_AVAILABLE_ROWS = 5;

// Any accepted non-negative answer counts; its content is not checked.
bool pid_answers(const ecu_entry &ecu, std::uint8_t pid)
{
    std::uint8_t req[OBD2_REQUEST_SIZE] = {};
    if (!build_obd_request(ecu.dialect, obd_question::pid_value, req, pid)) {
        std::printf("OBD2_ERROR: Failed to prepare request for PID 0x%02X\n", pid);
        return false;
    }
    std::uint8_t resp[OBD2_RESPONSE_SIZE] = {};
    std::uint64_t resp_len = 0;
    int rc = send_obd2_request(ecu, req, OBD2_REQUEST_SIZE, resp, &resp_len, REQ_KIND_PID_SCAN);
    return rc == 0 && resp_len > 0;
}

// An ECU that answered a PID after the wait still supports it: its late
// answer, passed over by a later request of the scan, marks the PID
// available (rows up to `asked`, the last row asked so far).
void credit_late_answers(const ecu_entry &ecu, int asked)
{
    isotp_passed_answer late[ISOTP_PASSED_ANSWERS];
    const int n = isotp_take_passed_answers(late, ISOTP_PASSED_ANSWERS);
    for (int k = 0; k < n; ++k) {
        std::uint8_t pid = 0;
        const bool pid_answer = passed_pid_answer(ecu.dialect, late[k], &pid);
        const int row = find_pid_row(pid);
        if (late[k].responder != ecu.resp_id || !pid_answer || row < 0 || row > asked ||
            g_pid_availability[row] == 1)
            continue;
        g_pid_availability[row] = 1;
        std::printf("PID 0x%02X \u2192 AVAILABLE (late answer)\n", pid);
    }
}

void print_availability(int status)
{
    std::printf("\nPID Availability:\n[");
    for (int i = 0; i < num_pids; ++i)
        std::printf("%d%s", g_pid_availability[i], i < num_pids - 1 ? "," : "");
    std::printf("]\n====================\nreturning l_status : %d\n===================\n", status);
}

} // namespace

void set_default_pid_availability()
{
    for (int i = 0; i < PID_AVAILABILITY_SIZE; ++i)
        g_pid_availability[i] = i < DEFAULT_AVAILABLE_ROWS ? 1 : 0;
}

int get_supported_pid_list(const ecu_entry &ecu)
{
    int status = 1;
    for (int &entry : g_pid_availability)
        entry = 0;
    std::puts("Checking supported PIDs one by one...");

    isotp_passed_answer earlier[ISOTP_PASSED_ANSWERS];
    isotp_take_passed_answers(earlier, ISOTP_PASSED_ANSWERS); // from before the scan: not its business
    for (int i = 0; i < num_pids; ++i) {
        std::uint8_t pid = pids[i].pid;
        g_pid_availability[i] = pid_answers(ecu, pid) ? 1 : 0;
        std::printf("PID 0x%02X \u2192 %s \n", pid, g_pid_availability[i] ? "AVAILABLE" : "NOT AVAILABLE");
        credit_late_answers(ecu, i - 1);
    }
    print_availability(status);

    // Kept until the link takes it, like every word of the bring-up.
    if (publish_status("GOTPID", 0) != 1) {
        std::puts("OBD2_ERROR : Error while publishing PID STATUS packet");
        status = 0;
    }
    return status;
}
