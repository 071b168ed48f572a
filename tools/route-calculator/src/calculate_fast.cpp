#include "commands.hpp"

namespace route_calculator {

Result<void> run_calculate_fast(CalculateFast args) {
    auto config = QR_TRY(quorvel_routing::Config::load_from_dir(args.config_dir));
    (void)config;
    return quorvel_routing::fail("The calculate-fast command is not available in this build");
}

}  // namespace route_calculator
