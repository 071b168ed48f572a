#include "quorvel_routing/router.hpp"

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "quorvel_routing/platform/log.hpp"
#include "quorvel_routing/platform/text.hpp"
#include "quorvel_routing/spatial.hpp"

namespace quorvel_routing {

namespace {

constexpr std::string_view kTarget = "quorvel_routing::router";
constexpr double kUnreached = std::numeric_limits<double>::max();
constexpr std::uint64_t kPostMeetingCap = 1200000;
constexpr std::size_t kInitialQueueCapacity = 4096;
constexpr double kRadToDeg = 57.29577951308232;

// ---- heuristic ---------------------------------------------------------------------------------

// Straight-line distance to one fixed point, with the point's trigonometry computed once.
class DistanceTo {
public:
    explicit DistanceTo(NodeCoord target)
        : lat_(static_cast<double>(target.lat)),
          lon_(static_cast<double>(target.lon)),
          cos_lat_(std::cos(lat_ * kDegToRad)) {}

    [[nodiscard]] double from(NodeCoord c) const {
        double lat = static_cast<double>(c.lat);
        double lon = static_cast<double>(c.lon);
        double s_lat = std::sin((lat_ - lat) * kDegToRad * 0.5);
        double s_lon = std::sin((lon_ - lon) * kDegToRad * 0.5);
        double a = s_lat * s_lat + std::cos(lat * kDegToRad) * cos_lat_ * s_lon * s_lon;
        return 12742000.0 * std::asin(std::sqrt(std::min(a, 1.0)));
    }

private:
    double lat_;
    double lon_;
    double cos_lat_;
};

// Lower bound of the cost of covering d metres.
struct Heuristic {
    bool distance_only = false;   // car-short: the distance itself
    double max_speed_ms = 1.0;    // car-fast: distance / largest speed
    bool ev = false;
    double ev_base = 0.0, ev_time_weight = 0.0, ev_max_speed_ms = 1.0;

    explicit Heuristic(const CarProfile& p) {
        distance_only = p.distance_only;
        max_speed_ms = p.max_speed_ms();
    }
    explicit Heuristic(const EvProfile& p)
        : ev(true),
          ev_base(static_cast<double>(p.base_consumption_wh_per_km)),
          ev_time_weight(static_cast<double>(p.time_weight)),
          ev_max_speed_ms(static_cast<double>(p.max_speed_kmh) / 3.6) {}

    [[nodiscard]] double operator()(double d) const {
        if (ev) return 0.08 * ev_base * d / 1000.0 + d * ev_time_weight / ev_max_speed_ms;
        if (distance_only) return d;
        return d / max_speed_ms;
    }
};

// ---- shared helpers ----------------------------------------------------------------------------

RouteFindError corrupt(Error e) { return RouteFindError::graph_error(std::move(e)); }

struct Endpoints {
    PrivateIsland start_island;
    PrivateIsland end_island;
};

Result<Endpoints> endpoints(const MappedGraph& g, std::uint32_t start, std::uint32_t end) {
    if (start >= g.node_count() || end >= g.node_count())
        return fail(fmt::format("Node index {} is outside the graph ({} nodes)", start >= g.node_count() ? start : end,
                                g.node_count()));
    Endpoints ep;
    ep.start_island = QR_TRY(private_island_from(g, start));
    ep.end_island = QR_TRY(private_island_from(g, end));
    return ep;
}

// Penalty of the edge source -> target of cost c, or none when it may not be used. The
// terminus test (four set probes) runs only for the classes that need it.
inline std::optional<double> admit(const Endpoints& ep, std::uint8_t access_class, float c, std::uint32_t source,
                                   std::uint32_t target) {
    if (access_class == 0) return 0.0;
    if (access_class > 4) return std::nullopt;
    return access_penalty(access_class, c, edge_is_terminus(ep.start_island, ep.end_island, source, target));
}

template <class Entry, class Less>
struct Heap {
    std::vector<Entry> items;
    Less less;  // "lower priority than"
    Heap() { items.reserve(kInitialQueueCapacity); }
    [[nodiscard]] bool empty() const { return items.empty(); }
    [[nodiscard]] const Entry& top() const { return items.front(); }
    void push(const Entry& e) {
        items.push_back(e);
        std::push_heap(items.begin(), items.end(), less);
    }
    Entry pop() {
        std::pop_heap(items.begin(), items.end(), less);
        Entry e = items.back();
        items.pop_back();
        return e;
    }
};

// ---- bidirectional A* --------------------------------------------------------------------------

struct NodeEntry {
    double key;
    std::uint32_t node;
};
struct NodeEntryLess {
    bool operator()(const NodeEntry& a, const NodeEntry& b) const { return a.key > b.key; }
};

template <class Profile>
RouteOutcome bidirectional(const MappedGraph& g, std::uint32_t start, std::uint32_t end, const Profile& profile,
                           std::uint64_t max_steps) {
    auto ep_result = endpoints(g, start, end);
    if (!ep_result) return std::unexpected(corrupt(std::move(ep_result).error()));
    const Endpoints& ep = *ep_result;

    const std::uint32_t n = g.node_count();
    SearchState fw(n);
    SearchState bw(n);
    const Heuristic h(profile);
    const DistanceTo to_end(g.node_coord(end));
    const DistanceTo to_start(g.node_coord(start));

    Heap<NodeEntry, NodeEntryLess> qf;
    Heap<NodeEntry, NodeEntryLess> qb;
    fw.distance[start] = 0.0;
    qf.push({h(to_end.from(g.node_coord(start))), start});
    bw.distance[end] = 0.0;
    qb.push({h(to_start.from(g.node_coord(end))), end});

    double best = kUnreached;
    std::uint32_t meeting = kNoNode;
    std::uint64_t steps = 0;
    std::uint64_t first_meeting_steps = 0;
    bool limit_hit = false;

    while (true) {
        if ((!qf.empty() || !qb.empty()) && steps >= max_steps) {
            log::info(kTarget, "Route search hit step limit ({} steps)", max_steps);
            limit_hit = true;
            break;
        }
        if (qf.empty() && qb.empty()) break;
        const double top_f = qf.empty() ? kUnreached : qf.top().key;
        const double top_b = qb.empty() ? kUnreached : qb.top().key;
        if (best < kUnreached && best <= top_f && best <= top_b) break;
        if (meeting != kNoNode && steps > first_meeting_steps + kPostMeetingCap) {
            log::info(kTarget, "Bidirectional A*: stopping after {} post-meeting expansions (best cost {})",
                      kPostMeetingCap, text::fixed(best, 1));
            break;
        }

        const bool forward = qb.empty() || top_b >= top_f;
        SearchState& self = forward ? fw : bw;
        const SearchState& other = forward ? bw : fw;
        const NodeEntry top = forward ? qf.pop() : qb.pop();
        ++steps;
        const std::uint32_t u = top.node;
        if (self.settled[u]) continue;
        self.settled[u] = 1;
        if (other.distance[u] < kUnreached && self.distance[u] + other.distance[u] < best) {
            best = self.distance[u] + other.distance[u];
            if (meeting == kNoNode) first_meeting_steps = steps;
            meeting = u;
        }

        if (forward) {
            auto range = g.out_edges(u);
            if (!range) return std::unexpected(corrupt(std::move(range).error()));
            for (std::uint32_t e : *range) {
                auto edge = g.edge(e);
                if (!edge) return std::unexpected(corrupt(std::move(edge).error()));
                const float c = profile.compute_cost_inline(*edge);
                if (!(c < kImpassableCost)) continue;
                const std::uint32_t v = edge->target;
                auto penalty = admit(ep, edge->access_class, c, u, v);
                if (!penalty) continue;
                const double nd = fw.distance[u] + static_cast<double>(c) + *penalty;
                if (nd < fw.distance[v]) {
                    fw.distance[v] = nd;
                    fw.predecessor[v] = u;
                    qf.push({nd + h(to_end.from(g.node_coord(v))), v});
                }
            }
        } else {
            auto incoming = g.incoming(u);
            if (!incoming) return std::unexpected(corrupt(std::move(incoming).error()));
            for (IncomingEntry in : *incoming) {
                auto edge = g.edge(in.edge);
                if (!edge) return std::unexpected(corrupt(std::move(edge).error()));
                const float c = profile.compute_cost_inline(*edge);
                if (!(c < kImpassableCost)) continue;
                const std::uint32_t w = in.source;
                auto penalty = admit(ep, edge->access_class, c, w, u);
                if (!penalty) continue;
                const double nd = bw.distance[u] + static_cast<double>(c) + *penalty;
                if (nd < bw.distance[w]) {
                    bw.distance[w] = nd;
                    bw.predecessor[w] = u;
                    qb.push({nd + h(to_start.from(g.node_coord(w))), w});
                }
            }
        }
    }

    RouteSearchResult result;
    result.nodes_explored = steps;
    // Predecessor chains are acyclic, but a chain longer than the node count would mean a
    // broken one; the bound keeps the walk finite whatever happens.
    auto walk_forward_to_start = [&](std::uint32_t from) -> bool {
        std::uint32_t node = from;
        result.path.push_back(node);
        for (std::uint32_t guard = 0; node != start; ++guard) {
            if (guard > n) return false;
            node = fw.predecessor[node];
            if (node == kNoNode) return false;
            result.path.push_back(node);
        }
        std::reverse(result.path.begin(), result.path.end());
        return true;
    };

    if (meeting == kNoNode) {
        if (fw.distance[end] < kUnreached) {
            log::info(kTarget, "Forward search DID reach end node with cost={}, using forward-only path",
                      text::fixed(fw.distance[end], 1));
            if (!walk_forward_to_start(end)) return std::unexpected(RouteFindError::no_route());
            result.cost = fw.distance[end];
            return result;
        }
        if (limit_hit) return std::unexpected(RouteFindError::step_limit(max_steps));
        return std::unexpected(RouteFindError::no_route());
    }

    if (!walk_forward_to_start(meeting)) return std::unexpected(RouteFindError::no_route());
    std::uint32_t node = bw.predecessor[meeting];
    for (std::uint32_t guard = 0; node != kNoNode; ++guard) {
        if (guard > n) return std::unexpected(RouteFindError::no_route());
        result.path.push_back(node);
        node = bw.predecessor[node];
    }
    if (result.path.empty() || result.path.front() != start || result.path.back() != end)
        return std::unexpected(RouteFindError::no_route());
    result.cost = best;
    return result;
}

// ---- restricted searches -----------------------------------------------------------------------

// States are packed into one key; the predecessor of the start state is never looked up.
template <class Key>
struct Label {
    double best;
    Key pred;
};

struct TripleKey {
    std::int64_t prev_osm;
    std::uint32_t node;
    bool operator==(const TripleKey&) const = default;
};

// One hash function for both map kinds, so that the benchmark compares the tables alone.
struct StateHash {
    std::size_t operator()(std::uint64_t k) const noexcept { return absl::Hash<std::uint64_t>{}(k); }
    std::size_t operator()(const TripleKey& k) const noexcept { return absl::HashOf(k.prev_osm, k.node); }
};

template <class Key, detail::StateMapKind Kind>
using StateMap = std::conditional_t<Kind == detail::StateMapKind::AbslFlat,
                                    absl::flat_hash_map<Key, Label<Key>, StateHash>,
                                    std::unordered_map<Key, Label<Key>, StateHash>>;

inline std::uint64_t pack(std::uint32_t node, std::uint32_t edge) {
    return (static_cast<std::uint64_t>(node) << 32) | edge;
}
inline std::uint32_t node_of(std::uint64_t key) { return static_cast<std::uint32_t>(key >> 32); }
inline std::uint32_t node_of(const TripleKey& key) { return key.node; }

// Walks the predecessors from `state` back to `start_state`, start first in the result.
template <class Map, class Key>
bool walk_back(const Map& labels, Key state, const Key& start_state, std::vector<std::uint32_t>& path) {
    path.push_back(node_of(state));
    for (std::size_t guard = 0; !(state == start_state); ++guard) {
        if (guard > labels.size()) return false;
        auto it = labels.find(state);
        if (it == labels.end()) return false;
        state = it->second.pred;
        path.push_back(node_of(state));
    }
    std::reverse(path.begin(), path.end());
    return true;
}

// Records the new cost of a state when it improves on the recorded one.
template <class Map, class Key>
bool improve(Map& labels, const Key& state, double cost, const Key& pred) {
    // Every recorded best is below f64::MAX, so such a cost improves nothing.
    if (!(cost < kUnreached)) return false;
    auto [it, inserted] = labels.try_emplace(state, Label<Key>{cost, pred});
    if (inserted) return true;
    if (!(cost < it->second.best - 1e-12)) return false;
    it->second = Label<Key>{cost, pred};
    return true;
}

// The label of a popped state, or null when the entry is stale.
template <class Map, class Key>
const Label<Key>* current_label(const Map& labels, const Key& state, double cost) {
    auto it = labels.find(state);
    if (it == labels.end() || cost > it->second.best + 1e-9) return nullptr;
    return &it->second;
}

struct PairEntry {
    double key;
    double cost;
    std::uint32_t node;
    std::uint32_t edge;
};
struct PairEntryLess {
    bool operator()(const PairEntry& a, const PairEntry& b) const { return a.key > b.key; }
};

template <detail::StateMapKind Kind, class Profile>
RouteOutcome pair_restricted(const MappedGraph& g, std::uint32_t start, std::uint32_t end, const Profile& profile,
                             std::uint64_t max_steps, const std::optional<std::int64_t>& approach) {
    auto ep_result = endpoints(g, start, end);
    if (!ep_result) return std::unexpected(corrupt(std::move(ep_result).error()));
    const Endpoints& ep = *ep_result;
    const bool has_triples = !g.osm_triples().empty();
    const Heuristic h(profile);
    const DistanceTo to_end(g.node_coord(end));

    std::uint32_t start_edge = kNoEdge;
    if (approach) {
        auto found = g.incoming_edge_idx_from_source_osm(start, *approach);
        if (!found) return std::unexpected(corrupt(std::move(found).error()));
        if (*found) start_edge = **found;
    }
    const std::uint64_t start_state = pack(start, start_edge);

    StateMap<std::uint64_t, Kind> labels;
    labels.reserve(1024);
    labels.emplace(start_state, Label<std::uint64_t>{0.0, start_state});
    Heap<PairEntry, PairEntryLess> queue;
    queue.push({h(to_end.from(g.node_coord(start))), 0.0, start, start_edge});

    std::uint64_t pops = 0;
    while (!queue.empty()) {
        if (pops >= max_steps) return std::unexpected(RouteFindError::step_limit(max_steps));
        const PairEntry top = queue.pop();
        ++pops;
        const std::uint32_t u = top.node;
        const std::uint32_t p = top.edge;
        const std::uint64_t state = pack(u, p);
        const Label<std::uint64_t>* label = current_label(labels, state, top.cost);
        if (label == nullptr) continue;

        if (u == end) {
            RouteSearchResult result;
            if (!walk_back(labels, state, start_state, result.path)) return std::unexpected(RouteFindError::no_route());
            result.cost = top.cost;
            result.nodes_explored = pops;
            return result;
        }

        auto range = g.out_edges(u);
        if (!range) return std::unexpected(corrupt(std::move(range).error()));
        const std::uint32_t out_degree = range->size();
        const NodeCoord u_coord = g.node_coord(u);
        const std::int64_t u_osm = g.node_osm_id(u);

        // What the incoming edge contributes, computed once per pop.
        std::int64_t p_source_osm = 0;
        double bearing_in = 0.0;
        if (p != kNoEdge) {
            // Every predecessor of (u, p) sits at the source of p; only the start state's
            // approach edge needs the search over the node table.
            const std::uint32_t p_source = state == start_state ? g.edge_source(p) : node_of(label->pred);
            p_source_osm = g.node_osm_id(p_source);
            const NodeCoord s = g.node_coord(p_source);
            bearing_in = initial_bearing_deg(s.lat, s.lon, u_coord.lat, u_coord.lon);
        }
        const bool approach_triples = p == kNoEdge && approach && u == start && has_triples;

        for (std::uint32_t e : *range) {
            auto edge = g.edge(e);
            if (!edge) return std::unexpected(corrupt(std::move(edge).error()));
            const float c = profile.compute_cost_inline(*edge);
            if (!(c < kImpassableCost)) continue;
            const std::uint32_t v = edge->target;
            if (approach_triples && g.has_osm_triple(*approach, u_osm, g.node_osm_id(v))) continue;
            if (p != kNoEdge) {
                if (g.has_restriction_pair(p, e)) continue;
                if (has_triples && g.has_osm_triple(p_source_osm, u_osm, g.node_osm_id(v))) continue;
            }
            auto penalty = admit(ep, edge->access_class, c, u, v);
            if (!penalty) continue;
            double turn = 0.0;
            if (p != kNoEdge && out_degree >= 2) {
                const NodeCoord vc = g.node_coord(v);
                turn = turn_penalty(bearing_in, initial_bearing_deg(u_coord.lat, u_coord.lon, vc.lat, vc.lon),
                                    out_degree);
            }
            const double nd = top.cost + static_cast<double>(c) + *penalty + turn;
            if (improve(labels, pack(v, e), nd, state))
                queue.push({nd + h(to_end.from(g.node_coord(v))), nd, v, e});
        }
    }
    return std::unexpected(RouteFindError::no_route());
}

struct TripleEntry {
    std::int64_t prev_osm;
    std::uint32_t node;
    double key;
    double cost;
};
// Smallest key first; on equal keys the larger node index, then the larger previous OSM id.
struct TripleEntryLess {
    bool operator()(const TripleEntry& a, const TripleEntry& b) const {
        if (a.key != b.key) return a.key > b.key;
        if (a.node != b.node) return a.node < b.node;
        return a.prev_osm < b.prev_osm;
    }
};

template <detail::StateMapKind Kind, class Profile>
RouteOutcome triple_restricted(const MappedGraph& g, std::uint32_t start, std::uint32_t end, const Profile& profile,
                               std::uint64_t max_steps, const std::optional<std::int64_t>& approach) {
    auto ep_result = endpoints(g, start, end);
    if (!ep_result) return std::unexpected(corrupt(std::move(ep_result).error()));
    const Endpoints& ep = *ep_result;
    const Heuristic h(profile);
    const DistanceTo to_end(g.node_coord(end));

    const TripleKey start_state{approach.value_or(std::numeric_limits<std::int64_t>::min()), start};
    StateMap<TripleKey, Kind> labels;
    labels.reserve(1024);
    labels.emplace(start_state, Label<TripleKey>{0.0, start_state});
    Heap<TripleEntry, TripleEntryLess> queue;
    queue.push({start_state.prev_osm, start, h(to_end.from(g.node_coord(start))), 0.0});

    std::uint64_t pops = 0;
    while (!queue.empty()) {
        if (pops >= max_steps) return std::unexpected(RouteFindError::step_limit(max_steps));
        const TripleEntry top = queue.pop();
        ++pops;
        const std::uint32_t u = top.node;
        const TripleKey state{top.prev_osm, u};
        if (current_label(labels, state, top.cost) == nullptr) continue;

        if (u == end) {
            RouteSearchResult result;
            if (!walk_back(labels, state, start_state, result.path)) return std::unexpected(RouteFindError::no_route());
            result.cost = top.cost;
            result.nodes_explored = pops;
            return result;
        }

        auto range = g.out_edges(u);
        if (!range) return std::unexpected(corrupt(std::move(range).error()));
        const std::int64_t u_osm = g.node_osm_id(u);
        for (std::uint32_t e : *range) {
            auto edge = g.edge(e);
            if (!edge) return std::unexpected(corrupt(std::move(edge).error()));
            const float c = profile.compute_cost_inline(*edge);
            if (!(c < kImpassableCost)) continue;
            const std::uint32_t v = edge->target;
            if (g.has_osm_triple(top.prev_osm, u_osm, g.node_osm_id(v))) continue;
            auto penalty = admit(ep, edge->access_class, c, u, v);
            if (!penalty) continue;
            const double nd = top.cost + static_cast<double>(c) + *penalty;
            const TripleKey next{u_osm, v};
            if (improve(labels, next, nd, state)) queue.push({u_osm, v, nd + h(to_end.from(g.node_coord(v))), nd});
        }
    }
    return std::unexpected(RouteFindError::no_route());
}

template <detail::StateMapKind Kind>
RouteOutcome dispatch(const MappedGraph& g, std::uint32_t start, std::uint32_t end, const RoutingProfile& profile,
                      std::uint64_t max_steps, const std::optional<std::int64_t>& approach) {
    return std::visit(
        [&](const auto& p) -> RouteOutcome {
            switch (search_form_for(g)) {
                case SearchForm::PairRestricted: return pair_restricted<Kind>(g, start, end, p, max_steps, approach);
                case SearchForm::TripleRestricted:
                    return triple_restricted<Kind>(g, start, end, p, max_steps, approach);
                case SearchForm::Bidirectional: break;
            }
            return bidirectional(g, start, end, p, max_steps);
        },
        profile.kind);
}

}  // namespace

// ---- public ------------------------------------------------------------------------------------

std::string RouteFindError::display() const {
    switch (kind) {
        case Kind::NoRoute:
            return "No drivable route found between these points on the loaded map (disconnected network or "
                   "impassable roads).";
        case Kind::StepLimit:
            return fmt::format(
                "Route search hit the step budget ({}). The trip may be too long for this limit\u2014try increasing "
                "MaxSteps or splitting into shorter legs.",
                step_budget);
        case Kind::GraphError: return fmt::format("Route search failed on a corrupt graph file: {}", error.message);
    }
    return {};
}

SearchState::SearchState(std::uint32_t node_count)
    : distance(node_count, kUnreached), predecessor(node_count, kNoNode), settled(node_count, 0) {}

SearchForm search_form_for(const MappedGraph& graph) {
    if (!graph.restriction_pairs().empty()) return SearchForm::PairRestricted;
    if (!graph.osm_triples().empty()) return SearchForm::TripleRestricted;
    return SearchForm::Bidirectional;
}

RouteOutcome find_route(const MappedGraph& graph, std::uint32_t start, std::uint32_t end,
                        const RoutingProfile& profile, std::uint64_t max_steps) {
    return find_route_with_approach(graph, start, end, profile, max_steps, std::nullopt);
}

RouteOutcome find_route_with_approach(const MappedGraph& graph, std::uint32_t start, std::uint32_t end,
                                      const RoutingProfile& profile, std::uint64_t max_steps,
                                      std::optional<std::int64_t> approach_osm_id) {
    return dispatch<detail::StateMapKind::AbslFlat>(graph, start, end, profile, max_steps, approach_osm_id);
}

RouteOutcome find_route_bidirectional(const MappedGraph& graph, std::uint32_t start, std::uint32_t end,
                                      const RoutingProfile& profile, std::uint64_t max_steps) {
    return std::visit([&](const auto& p) { return bidirectional(graph, start, end, p, max_steps); }, profile.kind);
}

RouteOutcome detail::find_route_with_state_map(const MappedGraph& graph, std::uint32_t start, std::uint32_t end,
                                               const RoutingProfile& profile, std::uint64_t max_steps,
                                               std::optional<std::int64_t> approach_osm_id, StateMapKind map_kind) {
    if (map_kind == StateMapKind::StdUnordered)
        return dispatch<StateMapKind::StdUnordered>(graph, start, end, profile, max_steps, approach_osm_id);
    return dispatch<StateMapKind::AbslFlat>(graph, start, end, profile, max_steps, approach_osm_id);
}

Result<PrivateIsland> private_island_from(const MappedGraph& graph, std::uint32_t node) {
    PrivateIsland island;
    island.insert(node);
    std::vector<std::uint32_t> stack{node};
    while (!stack.empty()) {
        if (island.size() >= kPrivateIslandCap) break;
        const std::uint32_t u = stack.back();
        stack.pop_back();
        const EdgeRange range = QR_TRY(graph.out_edges(u));
        for (std::uint32_t e : range) {
            const EdgeView edge = QR_TRY(graph.edge(e));
            if (edge.access_class < 1 || edge.access_class > 4) continue;
            if (island.insert(edge.target).second) {
                stack.push_back(edge.target);
                if (island.size() >= kPrivateIslandCap) return island;
            }
        }
    }
    return island;
}

bool edge_is_terminus(const PrivateIsland& start_island, const PrivateIsland& end_island, std::uint32_t source,
                      std::uint32_t target) {
    return start_island.contains(source) || start_island.contains(target) || end_island.contains(source) ||
           end_island.contains(target);
}

std::optional<double> access_penalty(std::uint8_t access_class, float cost, bool terminus) {
    if (access_class == 0) return 0.0;
    if (access_class <= 3) return terminus ? 0.0 : 9.0 * static_cast<double>(cost);
    if (access_class == 4 && terminus) return 0.0;
    return std::nullopt;
}

double initial_bearing_deg(double lat1, double lon1, double lat2, double lon2) {
    const double phi1 = lat1 * kDegToRad;
    const double phi2 = lat2 * kDegToRad;
    const double dlon = (lon2 - lon1) * kDegToRad;
    const double y = std::sin(dlon) * std::cos(phi2);
    const double x = std::cos(phi1) * std::sin(phi2) - std::sin(phi1) * std::cos(phi2) * std::cos(dlon);
    return std::fmod(std::atan2(y, x) * kRadToDeg + 360.0, 360.0);
}

double turn_penalty(double bearing_in_deg, double bearing_out_deg, std::uint32_t out_degree) {
    double t = 0.0;
    if (out_degree >= 3) {
        double d = std::fmod(std::fabs(bearing_in_deg - bearing_out_deg), 360.0);
        if (d > 180.0) d = 360.0 - d;
        if (d > 150.0) t = 500.0;
    }
    if (out_degree >= 2) {
        const double turn = std::fmod(bearing_out_deg - bearing_in_deg + 360.0, 360.0);
        if (turn > 180.0) {
            const double left = 360.0 - turn;
            if (left > 90.0) {
                const double r = (left - 90.0) / 90.0;
                t += r * r * 500.0;
            }
        }
    }
    return t;
}

}  // namespace quorvel_routing
