#pragma once
// The three command entries and what they share: the choice of the database target.

#include <functional>

#include "cli.hpp"
#include "quorvel_routing/config.hpp"
#include "quorvel_routing/platform/error.hpp"

namespace route_calculator {

using quorvel_routing::Result;

inline constexpr const char* kLogTarget = "route_calculator";

// Selects the connection entry named by `target` ("master", "production" or "local"; exact).
Result<std::reference_wrapper<const quorvel_routing::DatabaseConnection>> get_database_connection(
    const quorvel_routing::DatabaseConfig& config, const std::string& target);

Result<void> run_calculate(Calculate args);
Result<void> run_calculate_fast(CalculateFast args);
Result<void> run_analyse(Analyse args);

// Runs one command and turns its outcome into the exit status (the error report goes to stderr).
int dispatch(Commands command);

}  // namespace route_calculator
