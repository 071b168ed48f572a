#pragma once
// The three command entries and what they share: the choice of the database target.

#include <functional>

#include "cli.hpp"
#include "quorvel_routing/config.hpp"
#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/platform/error.hpp"

namespace route_calculator {

using quorvel_routing::Result;

inline constexpr const char* kLogTarget = "route_calculator";

// Selects the connection entry named by `target` ("master", "production" or "local"; exact).
Result<std::reference_wrapper<const quorvel_routing::DatabaseConnection>> get_database_connection(
    const quorvel_routing::DatabaseConfig& config, const std::string& target);

// The routable node for a point: the best of the candidates within 500 m (distance plus 100 m
// for a node with fewer than two out-edges), else the nearest within 2000 m.
Result<std::optional<std::uint32_t>> snap_to_best_node(const quorvel_routing::MappedGraph& graph,
                                                       quorvel_routing::NodeTest test, double lat, double lon);

Result<void> run_calculate(Calculate args);
Result<void> run_calculate_fast(CalculateFast args);
Result<void> run_analyse(Analyse args);

// Runs one command and turns its outcome into the exit status (the error report goes to stderr).
int dispatch(Commands command);

}  // namespace route_calculator
