#pragma once
// The two outputs of an import, both written from the same RoadNetwork.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "network.hpp"
#include "quorvel_routing/graph_writer.hpp"

namespace gravix_import {

struct GraphFileOptions {
    std::filesystem::path path;
    std::uint32_t version = 7;
    float cell_size_deg = 0.01f;
};

// The graph description of the network: nodes in network order, edges in network order (so
// restriction pairs keep their indices), the main component, and from version 6 on the string
// pools TREF (road refs) and TNAM (road names), with TDST and TJXR empty. In versions 6 and 7
// ext_word_14 holds the 1-based TREF entry of the edge's road ref (0: none); in version 7
// ext_bytes_18 holds the OSM way id and ext_word_26 the 1-based TNAM entry of the road's name.
[[nodiscard]] quorvel_routing::GraphDescription graph_description(const RoadNetwork& network,
                                                                  std::uint32_t version, float cell_size_deg);

// Grids beyond this many cells are refused (4 bytes each in the file).
inline constexpr std::uint64_t kMaxGridCells = 64u * 1024u * 1024u;

// Fails when the cell size is not a positive number or gives a grid over the network's extent
// of more than kMaxGridCells cells.
[[nodiscard]] Result<void> check_cell_size(const RoadNetwork& network, double cell_size_deg);

// Writes the graph file under a temporary name in the same directory and renames it into place,
// so that a failed import leaves any earlier file untouched.
[[nodiscard]] Result<quorvel_routing::GraphFileLayout> write_graph(const RoadNetwork& network,
                                                                   const GraphFileOptions& options);

struct DatabaseLoadCounts {
    std::int64_t nodes = 0;
    std::int64_t routing_edges = 0;
    std::int64_t road_segments = 0;
    std::int64_t way_nodes = 0;
    std::int64_t charging_stations = 0;
    std::int64_t address_points = 0;
};

// Access classes that go into routing_edges: the table has no access column, so roads a car
// may use only with permission (private) or not at all (no, agricultural, others) stay out.
inline constexpr std::uint8_t kMaxDatabaseAccessClass = 3;

// Creates the tables if needed and replaces their contents in one transaction (COPY). On any
// failure the transaction is rolled back and the database keeps what it held before.
// `progress`, when given, is called with one line per loaded table.
[[nodiscard]] Result<DatabaseLoadCounts> load_database(const RoadNetwork& network, const std::string& conninfo,
                                                       const std::function<void(const std::string&)>& progress = {});

// The schema the tool creates (the project's sql/schema.sql, compiled in).
[[nodiscard]] std::string_view schema_sql();

}  // namespace gravix_import
