#include "commands.hpp"

namespace route_calculator {

Result<void> run_analyse(Analyse args) {
    auto config = QR_TRY(quorvel_routing::Config::load_from_dir(args.config_dir));
    // The analysis always reads the database, so the target is chosen up front.
    QR_TRY(get_database_connection(config.database, args.target));
    return quorvel_routing::fail("The analyse command is not available in this build");
}

}  // namespace route_calculator
