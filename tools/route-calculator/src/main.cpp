// route-calculator: parses the command line, runs one command, reports its outcome.
#include "cli.hpp"
#include "commands.hpp"
#include "quorvel_routing/platform/log.hpp"

int main(int argc, char** argv) {
    quorvel_routing::log::init_from_env();
    route_calculator::Cli cli = route_calculator::Cli::parse(argc, argv);
    return route_calculator::dispatch(std::move(cli.command));
}
