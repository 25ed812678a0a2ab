// ecu-sim: answers OBD-II requests like a vehicle's ECUs, from a profile, on
// the host simulation's Unix socket or on a SocketCAN interface.
//
// While running: SIGUSR1 unplugs the vehicle (silence), SIGUSR2 plugs it
// back; standard input takes "unplug", "plug", "profile FILE" and "quit".
// SIGTERM and SIGINT end it cleanly (the socket file is removed).
#include "ecu_sim.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

struct arguments {
    std::string profile_path;
    std::string unix_path;
    std::string can_ifname;
    bool kernel_isotp = false;
    bool quiet = false;
    bool verbose = false;
};

void print_usage(const char *program)
{
    std::printf("Usage: %s --profile FILE (--unix PATH | --can IFNAME [--kernel-isotp]) [--quiet] [--verbose]\n"
                "\n"
                "Answers OBD-II requests (services 01, 02, 03, 04, 07, 09, 0A) like the ECUs\n"
                "described in the vehicle profile FILE (JSON, see configs/vehicles/); an\n"
                "\"obd_on_uds\" profile answers the same data through UDS (22, 19, 14) instead.\n"
                "\n"
                "  --profile FILE    vehicle profile\n"
                "  --unix PATH       serve the host simulation's socket at PATH (e.g. %s)\n"
                "  --can IFNAME      serve a SocketCAN interface (e.g. vcan0)\n"
                "  --kernel-isotp    with --can: send answers through kernel CAN_ISOTP sockets\n"
                "  --quiet           do not log every request\n"
                "  --verbose         also log every frame the ECUs send\n"
                "  --help            this text\n"
                "\n"
                "While running: SIGUSR1 unplugs the vehicle, SIGUSR2 plugs it back in;\n"
                "standard input takes the commands \"unplug\", \"plug\", \"profile FILE\", \"quit\".\n",
                program, "/tmp/ecu-sim.sock");
}

// 0 = run, 1 = --help shown, -1 = usage error (reported).
int parse_arguments(int argc, char **argv, arguments &args)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        bool has_value = i + 1 < argc;
        if (option == "--help" || option == "-h") {
            print_usage(argv[0]);
            return 1;
        } else if (option == "--profile" && has_value) {
            args.profile_path = argv[++i];
        } else if (option == "--unix" && has_value) {
            args.unix_path = argv[++i];
        } else if (option == "--can" && has_value) {
            args.can_ifname = argv[++i];
        } else if (option == "--kernel-isotp") {
            args.kernel_isotp = true;
        } else if (option == "--quiet") {
            args.quiet = true;
        } else if (option == "--verbose") {
            args.verbose = true;
        } else {
            std::fprintf(stderr, "ecu-sim: unknown option or missing value: %s\n", option.c_str());
            return -1;
        }
    }
    if (args.profile_path.empty() || args.unix_path.empty() == args.can_ifname.empty() ||
        (args.kernel_isotp && args.can_ifname.empty())) {
        std::fprintf(stderr, "ecu-sim: need --profile and exactly one of --unix or --can "
                             "(--kernel-isotp only with --can); try --help\n");
        return -1;
    }
    return 0;
}

void load_profile_command(ecu_sim &sim, const std::string &path)
{
    ecu_profile profile;
    std::string error;
    if (!ecu_profile_from_file(path, profile, error)) {
        std::printf("ecu-sim: profile not changed: %s\n", error.c_str());
        return;
    }
    ecu_sim_set_profile(sim, profile);
}

// False when the command asks to quit.
bool run_command(ecu_sim &sim, std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    if (line == "unplug")
        ecu_sim_set_connected(sim, false);
    else if (line == "plug")
        ecu_sim_set_connected(sim, true);
    else if (line.rfind("profile ", 0) == 0)
        load_profile_command(sim, line.substr(8));
    else if (line == "quit")
        return false;
    else if (!line.empty())
        std::printf("ecu-sim: unknown command \"%s\" (unplug, plug, profile FILE, quit)\n", line.c_str());
    return true;
}

// Reads what standard input has; false at a "quit" command. Sets `open` to
// false at end of input (the simulator keeps running).
bool read_commands(ecu_sim &sim, std::string &pending, bool &open)
{
    char buffer[512];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
    if (n <= 0) {
        open = false;
        return true;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!run_command(sim, line))
            return false;
    }
    return true;
}

// True to keep running.
bool handle_signal(ecu_sim &sim, int signal_fd)
{
    signalfd_siginfo info{};
    if (read(signal_fd, &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info)))
        return true;
    switch (info.ssi_signo) {
    case SIGUSR1:
        ecu_sim_set_connected(sim, false);
        return true;
    case SIGUSR2:
        ecu_sim_set_connected(sim, true);
        return true;
    default:
        std::printf("ecu-sim: %s, stopping\n", strsignal(static_cast<int>(info.ssi_signo)));
        return false;
    }
}

void serve(ecu_sim &sim, int signal_fd)
{
    bool stdin_open = true;
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, stdin_open ? 2 : 1, -1) < 0)
            continue;
        if (fds[0].revents && !handle_signal(sim, signal_fd))
            return;
        if (stdin_open && fds[1].revents && !read_commands(sim, pending, stdin_open))
            return;
    }
}

ecu_sim_ptr start_simulator(const arguments &args, const ecu_profile &profile)
{
    ecu_sim_options options;
    options.kernel_isotp = args.kernel_isotp;
    options.log_tx = args.verbose;
    bool quiet = args.quiet;
    options.log = [quiet](const std::string &line) {
        if (!quiet || line.rfind("rx ", 0) != 0)
            std::printf("ecu-sim: %s\n", line.c_str());
    };
    std::string error;
    ecu_sim_ptr sim = args.unix_path.empty() ? ecu_sim_start_socketcan(profile, args.can_ifname, options, error)
                                             : ecu_sim_start_unix(profile, args.unix_path, options, error);
    if (!sim)
        std::fprintf(stderr, "ecu-sim: cannot start: %s\n", error.c_str());
    return sim;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    arguments args;
    int parsed = parse_arguments(argc, argv, args);
    if (parsed != 0)
        return parsed > 0 ? 0 : 2;
    ecu_profile profile;
    std::string error;
    if (!ecu_profile_from_file(args.profile_path, profile, error)) {
        std::fprintf(stderr, "ecu-sim: bad profile: %s\n", error.c_str());
        return 1;
    }
    // Blocked before the simulator's thread starts, so only signalfd sees them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int number : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&signals, number);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signal_fd < 0) {
        std::perror("ecu-sim: signalfd");
        return 1;
    }
    ecu_sim_ptr sim = start_simulator(args, profile);
    if (!sim)
        return 1;
    std::printf("ecu-sim: serving \"%s\" (%s, %zu ECU%s) on %s\n", profile.name.c_str(),
                profile.addressing == ecu_addressing::bits29 ? "29-bit" : "11-bit", profile.ecus.size(),
                profile.ecus.size() == 1 ? "" : "s",
                args.unix_path.empty() ? args.can_ifname.c_str() : args.unix_path.c_str());
    serve(*sim, signal_fd);
    sim.reset();
    close(signal_fd);
    return 0;
}
