#pragma once
// One import run: extract the network, write the requested outputs, summarise.

#include <cstdint>
#include <optional>
#include <string>

#include "quorvel_routing/config.hpp"
#include "quorvel_routing/platform/error.hpp"

namespace gravix_import {

using quorvel_routing::Result;

struct ImportRequest {
    std::string input_path;
    std::optional<std::string> graph_file;
    std::uint32_t graph_version = 7;
    double cell_size_deg = 0.01;
    bool database = false;
    std::string config_dir = "config";
    std::string target = "master";
    bool target_given = false;  // --target or --config-dir on the command line
    std::optional<std::string> dem_dir;
    std::optional<std::string> country;
};

// The connection text for --database: the target of <config_dir>/database.yaml when that file
// exists (or when the target was asked for explicitly), otherwise "" so that libpq takes the
// PG* environment variables. `description` says which one was used, `connect_context` is the
// context line of a failed connection.
[[nodiscard]] Result<std::string> database_conninfo(const ImportRequest& request, std::string& description,
                                                    std::string& connect_context);

// Selects a target by name, with the route commands' messages.
[[nodiscard]] Result<quorvel_routing::DatabaseConnection> select_target(const quorvel_routing::DatabaseConfig& config,
                                                                        const std::string& target);

// Runs the import; progress goes to standard error, the returned text is the summary.
[[nodiscard]] Result<std::string> run_import(const ImportRequest& request);

}  // namespace gravix_import
