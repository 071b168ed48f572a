#pragma once
// The binary road graph file, memory-mapped and used in place: nodes, edges in CSR order, the
// cell grid, turn restrictions, the reverse adjacency and the main strongly connected component.
//
// Every index the reader takes from the file (edge targets, first-edge values, cell entries,
// reverse adjacency entries) is checked before it is used; an accessor that meets a bad one
// returns an error naming the corrupt record instead of reading out of bounds. Opening a file
// that carries its reverse adjacency and component stays O(1): nothing is scanned up front.

#include "quorvel_routing/platform/error.hpp"
#include "quorvel_routing/platform/mapped_file.hpp"

#include <absl/functional/function_ref.h>

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorvel_routing {

// "No node" / "no edge" where one may be absent.
inline constexpr std::uint32_t kNoNode = 0xFFFFFFFFu;
inline constexpr std::uint32_t kNoEdge = 0xFFFFFFFFu;

// Road class table: `road_class` value -> name; 14 and above mean no class.
inline constexpr std::array<std::string_view, 14> kRoadClassNames{
    "motorway",       "motorway_link", "trunk",         "trunk_link",   "primary",
    "primary_link",   "secondary",     "secondary_link", "tertiary",    "tertiary_link",
    "unclassified",   "residential",   "service",        "living_street"};
inline constexpr std::uint8_t kNoRoadClass = 14;

// Country table: `country` value v (1..46) -> kCountryCodes[v - 1]; 0 and above 46 mean none.
inline constexpr std::array<std::string_view, 46> kCountryCodes{
    "AT", "BE", "CH", "CZ", "DE", "DK", "ES", "FI", "FR", "GB", "HR", "HU", "IE", "IT", "LU", "NL",
    "NO", "PL", "PT", "RO", "SE", "SI", "SK", "BA", "BG", "GR", "LT", "LV", "EE", "RS", "ME", "MK",
    "AL", "XK", "BY", "UA", "MD", "AD", "MC", "LI", "SM", "VA", "MT", "CY", "IS", "TR"};
inline constexpr std::uint8_t kNoCountry = 0;

[[nodiscard]] std::optional<std::string_view> road_class_name(std::uint8_t road_class);
[[nodiscard]] std::optional<std::string_view> country_code(std::uint8_t country);

// Constants and layout arithmetic of the file format, shared by the reader and our writer.
namespace graph_format {
inline constexpr std::uint32_t kMagic = 0x4C525651u;  // "QVRL" read as a little-endian u32
inline constexpr std::uint64_t kHeaderSize = 64;
inline constexpr std::uint32_t kMinVersion = 1;
inline constexpr std::uint32_t kMaxVersion = 7;

inline constexpr std::uint8_t kFlagToll = 1u << 0;
inline constexpr std::uint8_t kFlagBit1 = 1u << 1;
inline constexpr std::uint8_t kFlagBit2 = 1u << 2;
inline constexpr std::uint8_t kFlagHasElevation = 1u << 3;
inline constexpr std::uint8_t kFlagLongLength = 1u << 4;
inline constexpr unsigned kAccessClassShift = 5;

// Section tags as little-endian u32 values of their four ASCII bytes.
inline constexpr std::uint32_t tag(const char (&s)[5]) {
    return std::uint32_t(std::uint8_t(s[0])) | std::uint32_t(std::uint8_t(s[1])) << 8 |
           std::uint32_t(std::uint8_t(s[2])) << 16 | std::uint32_t(std::uint8_t(s[3])) << 24;
}
inline constexpr std::uint32_t kTagRcsr = tag("RCSR");
inline constexpr std::uint32_t kTagMccm = tag("MCCM");
inline constexpr std::uint32_t kTagTref = tag("TREF");
inline constexpr std::uint32_t kTagTnam = tag("TNAM");
inline constexpr std::uint32_t kTagTdst = tag("TDST");
inline constexpr std::uint32_t kTagTjxr = tag("TJXR");

// 12/16/20 and 14/18/32 bytes by version (versions outside 1..7 are treated as 7).
[[nodiscard]] std::uint64_t node_record_size(std::uint32_t version);
[[nodiscard]] std::uint64_t edge_record_size(std::uint32_t version);

// Byte sizes of the embedded sections.
[[nodiscard]] std::uint64_t reverse_csr_size(std::uint32_t node_count, std::uint32_t edge_count);
[[nodiscard]] std::uint64_t main_component_size(std::uint32_t node_count);  // 12 + (N + 7) / 8
}  // namespace graph_format

// Absolute offsets of the fixed sections; all arithmetic in 64 bits.
struct GraphSections {
    std::uint64_t node_records = graph_format::kHeaderSize;
    std::uint64_t node_osm_ids = 0;
    std::uint64_t edge_records = 0;
    std::uint64_t cell_offsets = 0;
    std::uint64_t cell_nodes = 0;
    std::uint64_t long_lengths = 0;
    std::uint64_t base_file_end = 0;
};
[[nodiscard]] GraphSections graph_sections(std::uint32_t version, std::uint32_t node_count,
                                           std::uint32_t edge_count, std::uint32_t grid_rows,
                                           std::uint32_t grid_cols, std::uint32_t long_length_count);

struct NodeCoord {
    float lat = 0.0f;
    float lon = 0.0f;
};

// Half-open range of edge indices [begin, end); iterates the indices.
struct EdgeRange {
    std::uint32_t begin_edge = 0;
    std::uint32_t end_edge = 0;

    struct iterator {
        using iterator_category = std::input_iterator_tag;
        using value_type = std::uint32_t;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::uint32_t;
        std::uint32_t value = 0;
        std::uint32_t operator*() const { return value; }
        iterator& operator++() { ++value; return *this; }
        iterator operator++(int) { iterator old = *this; ++value; return old; }
        bool operator==(const iterator&) const = default;
    };
    [[nodiscard]] iterator begin() const { return {begin_edge}; }
    [[nodiscard]] iterator end() const { return {end_edge}; }
    [[nodiscard]] std::uint32_t size() const { return end_edge - begin_edge; }
    [[nodiscard]] bool empty() const { return begin_edge == end_edge; }
};

// One incoming entry of node v: the edge `edge` runs from `source` to v.
struct IncomingEntry {
    std::uint32_t source = 0;
    std::uint32_t edge = 0;
    bool operator==(const IncomingEntry&) const = default;
};

// The incoming entries of one node, read from the mapping or from the owned lists. Every entry
// of a range handed out by MappedGraph::incoming has been checked (source < N, edge < E).
class IncomingRange {
public:
    IncomingRange() = default;
    static IncomingRange mapped(const std::uint8_t* first_entry, std::uint32_t count) {
        IncomingRange r;
        r.mapped_ = first_entry;
        r.count_ = count;
        return r;
    }
    static IncomingRange owned(const IncomingEntry* first_entry, std::uint32_t count) {
        IncomingRange r;
        r.owned_ = first_entry;
        r.count_ = count;
        return r;
    }

    [[nodiscard]] std::uint32_t size() const { return count_; }
    [[nodiscard]] bool empty() const { return count_ == 0; }
    [[nodiscard]] IncomingEntry operator[](std::uint32_t k) const;

    struct iterator {
        using iterator_category = std::input_iterator_tag;
        using value_type = IncomingEntry;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = IncomingEntry;
        const IncomingRange* range = nullptr;
        std::uint32_t k = 0;
        IncomingEntry operator*() const { return (*range)[k]; }
        iterator& operator++() { ++k; return *this; }
        iterator operator++(int) { iterator old = *this; ++k; return old; }
        bool operator==(const iterator& o) const { return k == o.k; }
    };
    [[nodiscard]] iterator begin() const { return {this, 0}; }
    [[nodiscard]] iterator end() const { return {this, count_}; }

private:
    const std::uint8_t* mapped_ = nullptr;  // 8-byte (source, edge) records, unaligned
    const IncomingEntry* owned_ = nullptr;
    std::uint32_t count_ = 0;
};

// Forbids continuing from `from_edge` onto `to_edge`.
struct RestrictionPair {
    std::uint32_t from_edge = 0;
    std::uint32_t to_edge = 0;
    auto operator<=>(const RestrictionPair&) const = default;
};

// Forbids the OSM node sequence from, via, to.
struct OsmTriple {
    std::int64_t from = 0;
    std::int64_t via = 0;
    std::int64_t to = 0;
    auto operator<=>(const OsmTriple&) const = default;
};

// One decoded edge record.
struct EdgeView {
    std::optional<std::string_view> road_class;  // absent for class 14 and above
    std::optional<std::string_view> country;     // absent for 0 and above 46
    std::uint32_t target = 0;
    float length_m = 0.0f;
    float elevation_from_m = 0.0f;  // meaningful when has_elevation
    float elevation_to_m = 0.0f;
    std::uint32_t ext_word_14 = 0;   // 0 when the record is shorter than 18 bytes
    std::uint64_t ext_bytes_18 = 0;  // the 8 bytes as one little-endian value; 0 below 32 bytes
    std::uint32_t ext_word_26 = 0;   // 0 below 32 bytes
    std::uint8_t maxspeed_kmh = 0;   // 0 = none
    std::uint8_t ext_byte_30 = 0;    // 0 below 32 bytes
    std::uint8_t access_class = 0;   // 0..7
    bool toll = false;
    bool flag_bit1 = false;
    bool flag_bit2 = false;
    bool has_elevation = false;
};

struct NearestNode {
    std::uint32_t node = kNoNode;
    double distance_m = 0.0;
    bool operator==(const NearestNode&) const = default;
};

// The caller's test on a node index (for instance MappedGraph::is_routable).
using NodeTest = absl::FunctionRef<bool(std::uint32_t)>;

struct GridCell {
    std::int32_t row = 0;
    std::int32_t col = 0;
    bool operator==(const GridCell&) const = default;
};

struct CellBounds {
    double south = 0.0;
    double north = 0.0;
    double west = 0.0;
    double east = 0.0;
};

// One entry of the cell queue; ordered by the lower bound (IEEE 754 total order), then row,
// then column.
struct CellLb {
    double lower_bound_m = 0.0;
    std::int32_t row = 0;
    std::int32_t col = 0;
};
[[nodiscard]] std::weak_ordering operator<=>(const CellLb& a, const CellLb& b);
[[nodiscard]] inline bool operator==(const CellLb& a, const CellLb& b) { return (a <=> b) == 0; }

// Distance in metres from a point inside a cell to the nearest of its four sides.
[[nodiscard]] double dist_query_inside_cell_to_boundary_m(double lat, double lon, const CellBounds& cell);

// Position of a string pool inside the file.
struct StringPoolPosition {
    std::uint64_t start = 0;          // the tag
    std::uint64_t offsets_start = 0;  // start + 8
    std::uint64_t data_start = 0;     // start + 12 + 4K
    std::uint32_t entry_count = 0;    // K
    std::uint64_t end = 0;            // data_start + offsets[K]
};
enum class StringPoolKind : std::uint8_t { Tref = 0, Tnam = 1, Tdst = 2, Tjxr = 3 };

// Reverse adjacency held in memory: entries of node v are entries[offsets[v] .. offsets[v + 1]).
struct OwnedReverseCsr {
    std::vector<std::uint32_t> offsets;  // N + 1
    std::vector<IncomingEntry> entries;  // E
};
// A valid RCSR section used in place.
struct MappedReverseCsr {
    std::uint64_t offset = 0;  // the section's tag
};
using ReverseCsr = std::variant<MappedReverseCsr, OwnedReverseCsr>;

// A valid MCCM bitset used in place.
struct MappedMainComponent {
    std::uint64_t bitset_offset = 0;  // first bitset byte
};

struct OwnedMainComponent {
    std::vector<std::uint8_t> member;  // one 0/1 per node
    std::uint32_t count = 0;
};

// Builds the reverse adjacency from the forward CSR of a mapped file. Fails, naming the record,
// on a first-edge range or an edge target outside the file's counts.
[[nodiscard]] Result<OwnedReverseCsr> build_reverse_adjacency_from_mmap(
    std::span<const std::uint8_t> bytes, std::uint64_t edge_section_offset, std::uint32_t node_count,
    std::uint32_t edge_count, std::uint64_t node_record_size, std::uint64_t edge_record_size);

// The strongly connected component of the seed (largest out-degree, highest index on a tie),
// with its log lines. `reverse` must have been validated (mapped) or built from these bytes.
[[nodiscard]] Result<OwnedMainComponent> compute_main_component_from_mmap(
    std::span<const std::uint8_t> bytes, std::uint64_t edge_section_offset, std::uint32_t node_count,
    std::uint32_t edge_count, std::uint64_t node_record_size, std::uint64_t edge_record_size,
    const ReverseCsr& reverse);

class MappedGraph {
public:
    // Maps the file, checks it and prepares the restriction lists, the reverse adjacency and the
    // main component. Errors carry the texts of the file format's failure table.
    [[nodiscard]] static Result<MappedGraph> open(const std::filesystem::path& path);

    MappedGraph(MappedGraph&&) noexcept = default;
    MappedGraph& operator=(MappedGraph&&) noexcept = default;
    MappedGraph(const MappedGraph&) = delete;
    MappedGraph& operator=(const MappedGraph&) = delete;
    ~MappedGraph() = default;

    // Header and layout.
    [[nodiscard]] std::uint32_t version() const { return version_; }
    [[nodiscard]] std::uint32_t node_count() const { return node_count_; }
    [[nodiscard]] std::uint32_t edge_count() const { return edge_count_; }
    [[nodiscard]] float cell_size_deg() const { return cell_size_deg_; }
    [[nodiscard]] float min_lat() const { return min_lat_; }
    [[nodiscard]] float min_lon() const { return min_lon_; }
    [[nodiscard]] std::uint32_t grid_rows() const { return grid_rows_; }
    [[nodiscard]] std::uint32_t grid_cols() const { return grid_cols_; }
    [[nodiscard]] std::uint32_t long_length_count() const { return long_length_count_; }
    [[nodiscard]] std::uint64_t node_record_size() const { return node_record_size_; }
    [[nodiscard]] std::uint64_t edge_record_size() const { return edge_record_size_; }
    [[nodiscard]] const GraphSections& sections() const { return sections_; }
    [[nodiscard]] std::uint64_t file_size() const { return file_.size(); }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return file_.bytes(); }
    [[nodiscard]] const std::string& path() const { return path_; }

    // Nodes. The index must be below node_count() (checked; a violation is a programming error
    // and terminates).
    [[nodiscard]] NodeCoord node_coord(std::uint32_t node) const;
    [[nodiscard]] std::int64_t node_osm_id(std::uint32_t node) const;

    // [first_edge of node, first_edge of node + 1), ending at edge_count() for the last node.
    // Fails when the stored range is reversed or reaches past edge_count().
    [[nodiscard]] Result<EdgeRange> out_edges(std::uint32_t node) const;
    [[nodiscard]] Result<std::uint32_t> out_degree(std::uint32_t node) const;

    // Decodes edge `edge`. Fails when the index is not below edge_count() or the stored target
    // is not below node_count().
    [[nodiscard]] Result<EdgeView> edge(std::uint32_t edge) const;

    // The node whose CSR range holds `edge`: the largest n with first_edge(n) <= edge (node 0
    // for graphs of at most one node).
    [[nodiscard]] std::uint32_t edge_source(std::uint32_t edge) const;

    // Incoming entries of a node, every entry checked. Fails naming the node or the entry.
    [[nodiscard]] Result<IncomingRange> incoming(std::uint32_t node) const;
    [[nodiscard]] Result<std::uint32_t> in_degree(std::uint32_t node) const;

    // The edge index of the first incoming entry of `node` whose source has OSM identifier
    // `source_osm_id`, in entry order.
    [[nodiscard]] Result<std::optional<std::uint32_t>> incoming_edge_idx_from_source_osm(
        std::uint32_t node, std::int64_t source_osm_id) const;

    // Main strongly connected component.
    [[nodiscard]] bool in_main_component(std::uint32_t node) const;
    // Number of nodes in the main component. For a mapped bitset this counts its bits (O(N / 8)),
    // so that opening such a file stays O(1) when nobody asks.
    [[nodiscard]] std::uint32_t main_component_count() const;
    // In the main component with out-degree > 0 and in-degree > 0. A node whose stored ranges
    // are corrupt is not routable.
    [[nodiscard]] bool is_routable(std::uint32_t node) const;

    // Turn restrictions, sorted ascending.
    [[nodiscard]] std::span<const RestrictionPair> restriction_pairs() const { return pairs_; }
    [[nodiscard]] std::span<const OsmTriple> osm_triples() const { return triples_; }
    [[nodiscard]] bool has_restriction_pair(std::uint32_t from_edge, std::uint32_t to_edge) const;
    [[nodiscard]] bool has_osm_triple(std::int64_t from, std::int64_t via, std::int64_t to) const;

    // Where the derived structures come from.
    [[nodiscard]] bool reverse_csr_is_mapped() const {
        return std::holds_alternative<MappedReverseCsr>(reverse_);
    }
    [[nodiscard]] bool main_component_is_mapped() const {
        return std::holds_alternative<MappedMainComponent>(main_component_);
    }
    [[nodiscard]] const ReverseCsr& reverse_csr() const { return reverse_; }
    [[nodiscard]] std::optional<StringPoolPosition> string_pool(StringPoolKind kind) const {
        return pools_[static_cast<std::size_t>(kind)];
    }

    // Grid cell of a point (32-bit float arithmetic), or none outside the grid.
    [[nodiscard]] std::optional<GridCell> query_cell(double lat, double lon) const;
    [[nodiscard]] CellBounds cell_bounds(std::int32_t row, std::int32_t col) const;

    // The closest node passing `test` within max_dist_m, best-first over the grid cells. Fails
    // only on a corrupt cell list.
    [[nodiscard]] Result<std::optional<NearestNode>> find_nearest(double lat, double lon,
                                                                  double max_dist_m,
                                                                  NodeTest test) const;
    // Every node passing `test` within radius_m, nearest first (stable among equal distances).
    [[nodiscard]] Result<std::vector<NearestNode>> find_within(double lat, double lon, double radius_m,
                                                               NodeTest test) const;

private:
    struct Query;

    MappedGraph() = default;

    [[nodiscard]] std::uint32_t first_edge(std::uint32_t node) const;
    [[nodiscard]] Result<void> scan_cell_nearest(std::int32_t row, std::int32_t col, const Query& query,
                                                 std::optional<NearestNode>& best) const;
    [[nodiscard]] Result<void> collect_cell_within(std::int32_t row, std::int32_t col, const Query& query,
                                                   std::vector<NearestNode>& result) const;

    platform::MappedFile file_;
    std::string path_;
    std::uint32_t version_ = 0;
    std::uint32_t node_count_ = 0;
    std::uint32_t edge_count_ = 0;
    std::uint64_t node_record_size_ = 0;
    std::uint64_t edge_record_size_ = 0;
    GraphSections sections_;
    float cell_size_deg_ = 0.0f;
    float min_lat_ = 0.0f;
    float min_lon_ = 0.0f;
    std::uint32_t grid_rows_ = 0;
    std::uint32_t grid_cols_ = 0;
    std::uint32_t long_length_count_ = 0;
    std::vector<RestrictionPair> pairs_;
    std::vector<OsmTriple> triples_;
    ReverseCsr reverse_;
    std::variant<MappedMainComponent, std::vector<std::uint8_t>> main_component_;
    std::uint32_t owned_component_count_ = 0;
    std::array<std::optional<StringPoolPosition>, 4> pools_{};
};

}  // namespace quorvel_routing
