#pragma once
// Least-cost route search on the mapped graph file, in one of three forms chosen by the
// restrictions the graph carries:
//   restriction pairs            -> unidirectional A* over (node, incoming edge)
//   OSM triples only             -> unidirectional A* over (previous node's OSM id, node)
//   no restrictions              -> bidirectional A* over nodes, on flat per-node arrays
// All forms share the profile's edge cost, the straight-line heuristic, the admission of edges by
// access class around private islands at both ends, and the step budget.

#include <absl/container/flat_hash_set.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/platform/error.hpp"
#include "quorvel_routing/profile.hpp"

namespace quorvel_routing {

struct RouteSearchResult {
    std::vector<std::uint32_t> path;  // node indices, start first, end last
    double cost = 0.0;                // in the profile's cost unit
    std::uint64_t nodes_explored = 0; // queue pops, stale ones included
};

struct RouteFindError {
    enum class Kind : std::uint8_t {
        NoRoute,
        StepLimit,
        // The graph file turned out to be corrupt while it was searched (an edge or adjacency
        // record pointing outside the file's counts), or a node index passed in is out of range.
        GraphError,
    };
    Kind kind = Kind::NoRoute;
    std::uint64_t step_budget = 0;  // StepLimit
    Error error;                    // GraphError

    [[nodiscard]] static RouteFindError no_route() { return {Kind::NoRoute, 0, {}}; }
    [[nodiscard]] static RouteFindError step_limit(std::uint64_t budget) { return {Kind::StepLimit, budget, {}}; }
    [[nodiscard]] static RouteFindError graph_error(Error e) { return {Kind::GraphError, 0, std::move(e)}; }

    // The text printed for the user.
    [[nodiscard]] std::string display() const;
    bool operator==(const RouteFindError& o) const {
        return kind == o.kind && step_budget == o.step_budget && error.message == o.error.message;
    }
};

using RouteOutcome = std::expected<RouteSearchResult, RouteFindError>;

// Same as find_route_with_approach without an approach node.
[[nodiscard]] RouteOutcome find_route(const MappedGraph& graph, std::uint32_t start, std::uint32_t end,
                                      const RoutingProfile& profile, std::uint64_t max_steps);

// `approach_osm_id`: the OSM identifier of the node the vehicle arrives at the start from. The
// restricted forms apply turn restrictions (and, with restriction pairs, turn penalties) to the
// first move out of the start as well; the bidirectional form ignores it.
[[nodiscard]] RouteOutcome find_route_with_approach(const MappedGraph& graph, std::uint32_t start,
                                                    std::uint32_t end, const RoutingProfile& profile,
                                                    std::uint64_t max_steps,
                                                    std::optional<std::int64_t> approach_osm_id);

enum class SearchForm : std::uint8_t { Bidirectional, PairRestricted, TripleRestricted };
// The form find_route uses on this graph.
[[nodiscard]] SearchForm search_form_for(const MappedGraph& graph);

// Bidirectional A* (the form for graphs without restrictions), callable on any graph.
[[nodiscard]] RouteOutcome find_route_bidirectional(const MappedGraph& graph, std::uint32_t start,
                                                    std::uint32_t end, const RoutingProfile& profile,
                                                    std::uint64_t max_steps);

// Per-direction working memory of the bidirectional search: 8 + 4 + 1 bytes per node.
struct SearchState {
    std::vector<double> distance;          // f64::MAX = not reached
    std::vector<std::uint32_t> predecessor;  // kNoNode = none
    std::vector<std::uint8_t> settled;

    explicit SearchState(std::uint32_t node_count);
};

// ---- endpoints: private islands and access classes --------------------------------------------

using PrivateIsland = absl::flat_hash_set<std::uint32_t>;
inline constexpr std::size_t kPrivateIslandCap = 10000;

// The node and every node reachable from it over out-edges of access class 1 to 4, at most
// kPrivateIslandCap nodes. Fails only on a corrupt adjacency record.
[[nodiscard]] Result<PrivateIsland> private_island_from(const MappedGraph& graph, std::uint32_t node);

// True when the edge's source or target lies in either island.
[[nodiscard]] bool edge_is_terminus(const PrivateIsland& start_island, const PrivateIsland& end_island,
                                    std::uint32_t source, std::uint32_t target);

// Penalty added to an edge of cost c by its access class, or none when the edge may not be used:
// 0 -> 0; 1..3 -> 0 at a terminus, else 9c; 4 -> 0 at a terminus, else not used; 5..7 -> not used.
[[nodiscard]] std::optional<double> access_penalty(std::uint8_t access_class, float cost, bool terminus);

// Extra cost of turning from the edge source(p) -> u onto u -> v in the pair-restricted search,
// from the initial bearings and the out-degree of u: 500 for a reversal (> 150 degrees) where u
// has at least 3 out-edges, plus ((left - 90) / 90)^2 x 500 for a left turn sharper than 90
// degrees where u has at least 2.
[[nodiscard]] double turn_penalty(double bearing_in_deg, double bearing_out_deg, std::uint32_t out_degree);

// Initial bearing from point 1 to point 2 in degrees, 0 <= b < 360.
[[nodiscard]] double initial_bearing_deg(double lat1, double lon1, double lat2, double lon2);

// ---- for the benchmark -------------------------------------------------------------------------

namespace detail {
// Which hash map the restricted searches key their states with.
enum class StateMapKind : std::uint8_t { AbslFlat, StdUnordered };
// find_route_with_approach with an explicit state map (the default is AbslFlat).
[[nodiscard]] RouteOutcome find_route_with_state_map(const MappedGraph& graph, std::uint32_t start,
                                                     std::uint32_t end, const RoutingProfile& profile,
                                                     std::uint64_t max_steps,
                                                     std::optional<std::int64_t> approach_osm_id,
                                                     StateMapKind map_kind);
}  // namespace detail

}  // namespace quorvel_routing
