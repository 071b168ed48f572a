#pragma once
// Our writer of graph files (versions 1 to 7) from an in-memory description. It puts the edges
// into CSR order itself, builds the cell grid and the long-length table, and by option embeds
// the reverse adjacency, the main-component bitset and the string pools.

#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/platform/error.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel_routing {

struct GraphWriterNode {
    float lat = 0.0f;  // degrees, as the file stores them
    float lon = 0.0f;
    std::int64_t osm_id = 0;
    std::uint32_t ext_word_12 = 0;  // version 6 and 7: the extra node word, carried as it is
    std::uint32_t ext_word_16 = 0;  // version 7
};

struct GraphWriterEdge {
    std::uint32_t from = 0;  // node indices into GraphDescription::nodes
    std::uint32_t to = 0;
    // Below 6553.5 m stored in decimetres (rounded to nearest); from 6553.5 m on (after rounding)
    // through the long-length table. Negative or NaN lengths are written as 0.
    float length_m = 0.0f;
    std::uint8_t road_class = kNoRoadClass;  // index into kRoadClassNames, 14 = none
    std::uint8_t maxspeed_kmh = 0;           // 0 = none
    std::uint8_t country = kNoCountry;       // 1-based index into kCountryCodes, 0 = none
    std::uint8_t access_class = 0;           // 0..7
    bool toll = false;
    bool flag_bit1 = false;
    bool flag_bit2 = false;
    bool has_elevation = false;
    float elevation_from_m = 0.0f;  // stored in decimetres, rounded and clamped to 0..6553.5 m
    float elevation_to_m = 0.0f;
    std::uint32_t ext_word_14 = 0;   // version 6 and 7
    std::uint64_t ext_bytes_18 = 0;  // version 7, written little-endian
    std::uint32_t ext_word_26 = 0;   // version 7
    std::uint8_t ext_byte_30 = 0;    // version 7
};

// An explicit grid; every node must fall inside it.
struct GridSpec {
    float min_lat = 0.0f;
    float min_lon = 0.0f;
    std::uint32_t rows = 0;
    std::uint32_t cols = 0;
};

struct GraphDescription {
    std::uint32_t version = 7;
    float cell_size_deg = 0.01f;
    // Without one: min_lat/min_lon are the smallest node coordinates and the grid is the
    // smallest one that holds every node (1 x 1 for a graph without nodes).
    std::optional<GridSpec> grid;

    std::vector<GraphWriterNode> nodes;
    std::vector<GraphWriterEdge> edges;  // any order; the writer sorts them by source (stable)

    // Version 3 and later. Pair edge indices refer to `edges` (input order) and are translated
    // to file edge indices; a value not below edges.size() is written as it is.
    std::vector<RestrictionPair> restriction_pairs;
    std::vector<OsmTriple> osm_triples;
    bool write_restriction_payload = true;  // false: restriction_payload_offset 0, no payload

    bool embed_reverse_csr = true;       // version 4 and later
    bool embed_main_component = true;    // version 5 and later; needs the RCSR section
    // One 0/1 per node; without it the writer computes the component as the reader would.
    std::optional<std::vector<std::uint8_t>> main_component;

    // Version 6 and later: TREF; version 7: TNAM, TDST, TJXR. A pool is written only when given,
    // in that order, each directly after the previous one written; pools need the RCSR and MCCM
    // sections in front of them.
    std::optional<std::vector<std::string>> tref_pool;
    std::optional<std::vector<std::string>> tnam_pool;
    std::optional<std::vector<std::string>> tdst_pool;
    std::optional<std::vector<std::string>> tjxr_pool;
};

// Where everything landed in the written file.
struct GraphFileLayout {
    std::uint32_t version = 0;
    std::uint32_t node_count = 0;
    std::uint32_t edge_count = 0;
    std::uint64_t node_record_size = 0;
    std::uint64_t edge_record_size = 0;
    GraphSections sections;
    float cell_size_deg = 0.0f;
    float min_lat = 0.0f;
    float min_lon = 0.0f;
    std::uint32_t grid_rows = 0;
    std::uint32_t grid_cols = 0;
    std::uint32_t long_length_count = 0;
    std::uint64_t restriction_payload_offset = 0;  // 0: none written
    std::uint64_t reverse_csr_offset = 0;          // 0: none written
    std::uint64_t main_component_offset = 0;       // the MCCM tag; 0: none written
    std::array<std::optional<std::uint64_t>, 4> string_pool_offsets{};  // by StringPoolKind
    std::uint64_t file_size = 0;
    // file_edge_index[i] is the file edge index of input edge i.
    std::vector<std::uint32_t> file_edge_index;
};

// Writes the file (replacing one that exists).
[[nodiscard]] Result<GraphFileLayout> write_graph_file(const std::filesystem::path& path,
                                                       const GraphDescription& graph);

// The same bytes in memory.
struct EncodedGraph {
    std::vector<std::uint8_t> bytes;
    GraphFileLayout layout;
};
[[nodiscard]] Result<EncodedGraph> encode_graph(const GraphDescription& graph);

// Table look-ups for callers that hold names: "residential" -> 11, "DE" -> 5.
[[nodiscard]] std::optional<std::uint8_t> road_class_code(std::string_view name);
[[nodiscard]] std::optional<std::uint8_t> country_value(std::string_view iso_code);

}  // namespace quorvel_routing
