// diag-gateway-cli: the daemon's MQTT API from a shell, for the person at the
// board. See its man page (debian/man/diag-gateway-cli.1).
#include "cli_options.h"
#include "cli_run.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
    std::string error;
    const auto options = parse_cli_options(argc, argv, std::getenv("DIAG_GW_BROKER"), error);
    if (!options) {
        if (error.empty()) {
            std::fputs(cli_usage_text(), stdout);
            return CLI_EXIT_ANSWERED;
        }
        std::fprintf(stderr, "diag-gateway-cli: %s\n%s", error.c_str(), cli_usage_text());
        return CLI_EXIT_USAGE;
    }
    return run_cli(*options);
}
