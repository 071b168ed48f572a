#include "import.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "network.hpp"
#include "outputs.hpp"
#include "quorvel_routing/platform/pg.hpp"
#include "quorvel_routing/platform/text.hpp"

namespace gravix_import {

using quorvel_routing::Error;
using quorvel_routing::fail;
namespace text = quorvel_routing::text;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void progress_line(const std::string& line) {
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

std::string percent(std::uint64_t part, std::uint64_t whole) {
    return whole == 0 ? "0.0" : text::fixed(100.0 * static_cast<double>(part) / static_cast<double>(whole), 1);
}

}  // namespace

Result<quorvel_routing::DatabaseConnection> select_target(const quorvel_routing::DatabaseConfig& config,
                                                          const std::string& target) {
    const std::optional<quorvel_routing::DatabaseConnection>* entry = nullptr;
    if (target == "master") entry = &config.master;
    else if (target == "production") entry = &config.production;
    else if (target == "local") entry = &config.local;
    else return fail(fmt::format("Invalid target '{}'. Use 'master', 'production', or 'local'", target));
    if (!entry->has_value()) return fail(fmt::format("'{}' database not configured", target));
    return **entry;
}

Result<std::string> database_conninfo(const ImportRequest& request, std::string& description,
                                      std::string& connect_context) {
    const auto path = std::filesystem::path(request.config_dir) / "database.yaml";
    std::error_code ec;
    if (!request.target_given && !std::filesystem::exists(path, ec)) {
        description = "from the PG* environment variables";
        connect_context = "Failed to connect to the database of the PG* environment variables";
        return std::string();
    }
    std::ifstream in(path);
    if (!in) return fail(Error(fmt::format("Failed to read {}", path.string()), {"No such file or directory"}));
    std::ostringstream buf;
    buf << in.rdbuf();
    auto config = quorvel_routing::parse_database_config(buf.str());
    if (!config) return fail(std::move(config).error().context(fmt::format("Failed to parse {}", path.string())));
    auto target = QR_TRY(select_target(*config, request.target));
    description = fmt::format("'{}' at {}:{} (from {})", request.target, target.host, target.port, path.string());
    connect_context = fmt::format("Failed to connect to database at {}:{}", target.host, target.port);
    return target.connection_string();
}

Result<std::string> run_import(const ImportRequest& request) {
    const auto start = Clock::now();

    // Settle the database first, so that a server that is down fails the run before the
    // long part and before any file is touched.
    std::string conninfo, db_description, connect_context;
    if (request.database) {
        conninfo = QR_TRY(database_conninfo(request, db_description, connect_context));
        progress_line(fmt::format("Database: {}", db_description));
        auto probe = quorvel_routing::pg::Connection::open(conninfo);
        if (!probe) return fail(std::move(probe).error().context(connect_context));
    }
    if (request.graph_version < 1 || request.graph_version > 7)
        return fail(fmt::format("Unsupported graph format version: {} (expected 1\u20137)", request.graph_version));

    ExtractOptions options;
    options.input_path = request.input_path;
    options.dem_dir = request.dem_dir;
    if (request.country) {
        std::string code = *request.country;
        for (char& c : code)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (code.size() != 2 || !std::all_of(code.begin(), code.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
            return fail(fmt::format("Invalid country code '{}' (expected two letters, e.g. AD)", *request.country));
        options.default_country = code;
    }
    options.progress = [&](const ExtractStats& s, double fraction) {
        progress_line(fmt::format("Reading {}: {}% of the file, {} nodes, {} ways, {} relations, {} road ways, {} s",
                                  request.input_path, text::fixed(100.0 * fraction, 0), s.osm_nodes, s.osm_ways,
                                  s.osm_relations, s.road_ways, text::fixed(seconds_since(start), 1)));
    };
    progress_line(fmt::format("Reading {}...", request.input_path));
    auto network = QR_TRY(extract_network(options));
    const ExtractStats& s = network.stats;
    progress_line(fmt::format("Read {} nodes, {} ways, {} relations in {} s; road network: {} nodes, {} edges",
                              s.osm_nodes, s.osm_ways, s.osm_relations, text::fixed(seconds_since(start), 1),
                              network.nodes.size(), network.edges.size()));

    // The graph file goes to a temporary name first and is renamed into place only when the
    // database (if asked for) has taken its data too.
    std::optional<quorvel_routing::GraphFileLayout> layout;
    std::filesystem::path temp_graph;
    if (request.graph_file) {
        progress_line(fmt::format("Writing graph file {} (version {})...", *request.graph_file, request.graph_version));
        temp_graph = *request.graph_file;
        temp_graph += fmt::format(".part-{}", ::getpid());
        QR_TRY(check_cell_size(network, request.cell_size_deg));
        auto written = quorvel_routing::write_graph_file(
            temp_graph, graph_description(network, request.graph_version, static_cast<float>(request.cell_size_deg)));
        if (!written) {
            std::error_code ec;
            std::filesystem::remove(temp_graph, ec);
            return fail(std::move(written).error().context(fmt::format("Failed to write graph file {}", *request.graph_file)));
        }
        layout = std::move(*written);
    }
    auto discard_temp = [&] {
        std::error_code ec;
        if (!temp_graph.empty()) std::filesystem::remove(temp_graph, ec);
    };

    std::optional<DatabaseLoadCounts> counts;
    if (request.database) {
        progress_line("Loading the database (one transaction)...");
        auto loaded = load_database(network, conninfo, progress_line);
        if (!loaded) {
            discard_temp();
            return fail(std::move(loaded).error());
        }
        counts = *loaded;
    }
    if (request.graph_file) {
        std::error_code ec;
        std::filesystem::rename(temp_graph, *request.graph_file, ec);
        if (ec) {
            discard_temp();
            return fail(Error(fmt::format("Failed to write graph file {}", *request.graph_file), {ec.message()}));
        }
    }

    std::string out;
    out += fmt::format("Imported {} in {} s\n", request.input_path, text::fixed(seconds_since(start), 1));
    out += fmt::format("  road ways:          {}\n", network.ways.size());
    out += fmt::format("  nodes:              {} ({} in the main component, {}%)\n", network.nodes.size(),
                       s.main_component_nodes, percent(s.main_component_nodes, network.nodes.size()));
    out += fmt::format("  edges:              {}\n", network.edges.size());
    out += fmt::format("  restrictions:       {} relations read, {} used, {} skipped; {} pairs, {} triples\n",
                       s.restrictions_read, s.restrictions_used, s.restrictions_skipped,
                       network.restriction_pairs.size(), network.restriction_triples.size());
    out += fmt::format("  barriers:           {} on roads, restricting cars\n", s.barriers);
    out += fmt::format("  charging stations:  {}\n", network.stations.size());
    out += fmt::format("  addresses/places:   {}\n", network.places.size());
    out += fmt::format("  country boundaries: {}\n", s.boundaries);
    if (network.has_elevation)
        out += fmt::format("  elevation:          {} DEM tiles, {} void samples filled, {} tunnel and bridge nodes levelled\n",
                           s.dem_tiles, s.dem_voids_filled, s.structure_nodes_levelled);
    else
        out += "  elevation:          none (no --dem)\n";
    if (layout)
        out += fmt::format("  graph file:         {} (version {}, {} bytes)\n", *request.graph_file, layout->version,
                           layout->file_size);
    if (counts)
        out += fmt::format(
            "  database:           {} nodes, {} routing_edges, {} road_segments, {} way_nodes, {} charging_stations, "
            "{} address_points\n",
            counts->nodes, counts->routing_edges, counts->road_segments, counts->way_nodes, counts->charging_stations,
            counts->address_points);
    out += fmt::format("  elapsed:            {} s\n", text::fixed(seconds_since(start), 1));
    return out;
}

}  // namespace gravix_import
