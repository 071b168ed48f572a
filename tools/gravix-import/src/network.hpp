#pragma once
// The road network extracted from one OSM file, held in memory, from which both outputs (the
// graph file and the database tables) are written, so that they always agree.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/platform/error.hpp"

namespace gravix_import {

using quorvel_routing::Result;

struct RoadNode {
    std::int64_t osm_id = 0;
    double lat = 0.0;
    double lon = 0.0;
    std::optional<double> elevation_m;
};

// One directed edge between consecutive way nodes. Node indices refer to RoadNetwork::nodes.
struct RoadEdge {
    std::uint32_t from = 0;
    std::uint32_t to = 0;
    std::uint32_t way = 0;         // index into RoadNetwork::ways
    double length_m = 0.0;         // along the slope when elevations are known
    double horizontal_m = 0.0;     // great-circle length
    std::optional<int> maxspeed_kmh;
    std::uint8_t access_class = 0;  // the way's, or a barrier's at either end when that is stricter
    std::uint8_t country = 0;      // graph file country table index, 0 = none
    std::uint32_t country_code = 0;  // index into RoadNetwork::country_codes, 0 = none
};

struct RoadWay {
    std::int64_t osm_id = 0;
    std::string highway;
    std::uint8_t road_class = 14;
    std::uint8_t access_class = 0;
    bool toll = false;
    bool oneway = false;  // traffic in one direction only (either way round)
    bool structure = false;  // tunnel or bridge: the ground below or above is not the road's height
    std::optional<std::string> name;
    std::optional<std::string> ref;
    std::optional<std::string> surface;
    std::optional<int> maxspeed_kmh;  // the way's general limit
    std::vector<std::uint32_t> nodes;  // node indices in way order
};

// Turn restriction as read: the relation, its kind and its members (OSM ids).
struct TurnRestriction {
    std::int64_t relation_id = 0;
    std::string kind;  // "no_left_turn", "only_straight_on", ...
    std::int64_t from_way = 0;
    std::int64_t via_node = 0;
    std::int64_t to_way = 0;
};

// Restrictions are kept in the graph file's own records.
using EdgePair = quorvel_routing::RestrictionPair;
using NodeTriple = quorvel_routing::OsmTriple;

struct Station {
    std::int64_t id = 0;  // OSM node id, or the way id for areas (see osm_type)
    char osm_type = 'n';  // 'n' node, 'w' way
    double lat = 0.0;
    double lon = 0.0;
    std::optional<double> power_kw;
    std::optional<std::string> name;
    std::optional<std::string> operator_name;
    std::optional<std::string> network;
    std::optional<std::string> plug_types;  // comma-separated
    std::optional<int> capacity;
    bool is_fast_ac = false;
    bool is_fast_dc = false;
};

struct Place {
    std::int64_t osm_id = 0;
    char osm_type = 'n';
    double lat = 0.0;
    double lon = 0.0;
    std::optional<std::string> name;
    std::optional<std::string> street;
    std::optional<std::string> housenumber;
    std::optional<std::string> city;
    std::optional<std::string> postcode;
    std::optional<std::string> category;  // shop, amenity, ... value, or the place kind
    std::optional<std::string> brand;
    std::optional<std::string> operator_name;
    std::optional<std::string> country;
};

struct ExtractStats {
    std::uint64_t osm_nodes = 0;
    std::uint64_t osm_ways = 0;
    std::uint64_t osm_relations = 0;
    std::uint64_t road_ways = 0;
    std::uint64_t closed_ways_skipped = 0;  // oneway=reversible/alternating
    std::uint64_t barriers = 0;             // barrier nodes on roads that restrict cars
    std::uint64_t restrictions_read = 0;
    std::uint64_t restrictions_used = 0;
    std::uint64_t restrictions_skipped = 0;
    std::uint64_t boundaries = 0;
    std::uint64_t dem_voids_filled = 0;
    std::uint64_t dem_tiles = 0;
    std::uint64_t structure_nodes_levelled = 0;
    std::uint32_t main_component_nodes = 0;
};

struct RoadNetwork {
    std::vector<RoadNode> nodes;  // sorted by OSM id
    std::vector<RoadWay> ways;    // in file order
    std::vector<RoadEdge> edges;  // sorted by source node, then way order
    std::vector<EdgePair> restriction_pairs;  // edge indices into `edges`
    std::vector<NodeTriple> restriction_triples;
    std::vector<Station> stations;
    std::vector<Place> places;
    std::vector<std::string> country_codes{""};  // index 0 = none
    // One 0/1 per node: the largest strongly connected component over edges a car may use
    // (access classes 0 to 4).
    std::vector<std::uint8_t> main_component;
    bool has_elevation = false;
    ExtractStats stats;
};

struct ExtractOptions {
    std::string input_path;
    std::optional<std::string> dem_dir;
    std::optional<std::string> default_country;  // for edges outside every boundary
    // Called now and then while reading, with the counts so far and the share of the file read.
    std::function<void(const ExtractStats&, double fraction_read)> progress;
};

[[nodiscard]] Result<RoadNetwork> extract_network(const ExtractOptions& options);

// Restriction resolution on an already built network (exposed for tests).
void resolve_restrictions(RoadNetwork& network, const std::vector<TurnRestriction>& restrictions);

// Replaces the DEM heights of nodes that lie only on tunnels and bridges (the DEM holds the
// mountain above or the valley below) by heights interpolated along the structure between the
// nodes where it meets other roads. Chains of structure ways joined at such inner nodes are
// treated as one. Returns the number of nodes changed.
std::size_t level_structures(std::vector<RoadNode>& nodes, const std::vector<RoadWay>& ways);

// Largest strongly connected component over edges with access class 0 to 4.
[[nodiscard]] std::vector<std::uint8_t> main_component_of(const RoadNetwork& network);

}  // namespace gravix_import
