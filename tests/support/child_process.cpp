#include "child_process.h"

#include <cerrno>
#include <sys/wait.h>
#include <thread>

bool wait_child_exit(pid_t pid, std::chrono::milliseconds timeout, int *status)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int wait_status = 0;
        pid_t r = waitpid(pid, &wait_status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            if (status)
                *status = r == pid ? wait_status : -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
