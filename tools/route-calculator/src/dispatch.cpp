#include <fmt/format.h>

#include <cstdio>

#include "commands.hpp"

namespace route_calculator {

Result<std::reference_wrapper<const quorvel_routing::DatabaseConnection>> get_database_connection(
    const quorvel_routing::DatabaseConfig& config, const std::string& target) {
    const std::optional<quorvel_routing::DatabaseConnection>* entry = nullptr;
    if (target == "master") entry = &config.master;
    else if (target == "production") entry = &config.production;
    else if (target == "local") entry = &config.local;
    else
        return quorvel_routing::fail(
            fmt::format("Invalid target '{}'. Use 'master', 'production', or 'local'", target));
    if (!entry->has_value()) return quorvel_routing::fail(fmt::format("'{}' database not configured", target));
    return std::cref(**entry);
}

int dispatch(Commands command) {
    Result<void> outcome = std::visit(
        [](auto&& args) -> Result<void> {
            using T = std::decay_t<decltype(args)>;
            if constexpr (std::is_same_v<T, Calculate>) return run_calculate(std::move(args));
            else if constexpr (std::is_same_v<T, CalculateFast>) return run_calculate_fast(std::move(args));
            else return run_analyse(std::move(args));
        },
        std::move(command));
    std::fflush(stdout);
    if (outcome) return 0;
    std::string report = quorvel_routing::render_error_report(outcome.error());
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
    return 1;
}

}  // namespace route_calculator
