// Route search on a synthetic road-like graph: a perturbed grid of side x side nodes with road
// classes, speed limits, elevations and a few restricted-access roads, written by our writer to a
// temporary file (removed as soon as it is mapped).
//
//   router_bench [--side N] [--pairs N] [--restricted-pairs N] [--dir DIR] [--seed N]
//   router_bench --write-graph PATH [--side N] [--pairs N] [--seed N]
//
// With --write-graph it only writes the unrestricted grid to PATH and prints one line
// "start_lat start_lon end_lat end_lon" per random pair of routable nodes (for whole-command
// timings of calculate-fast), then exits.
//
// 1. find_route on the graph without restrictions (bidirectional A*) for car-fast, car-short and
//    ev-default over random pairs, next to a plain Dijkstra and a one-directional A* with the same
//    heuristic, on the same pairs and costs.
// 2. The restricted searches (the same grid with "no left turn" restrictions, once as restriction
//    pairs and once as OSM triples), with the state maps as absl::flat_hash_map and as
//    std::unordered_map, on trips whose ends lie at most 150 grid cells apart on either axis.
// Prints Markdown tables.

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quorvel_routing/graph_writer.hpp"
#include "quorvel_routing/router.hpp"
#include "quorvel_routing/spatial.hpp"

namespace qr = quorvel_routing;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::uint32_t side = 1000;
    std::uint32_t pairs = 200;
    std::uint32_t restricted_pairs = 40;
    std::string dir = "/tmp";
    std::uint64_t seed = 42;
    std::string write_graph;
};

enum class Restrictions { None, Pairs, Triples };

// Input edge indices of the four roads leaving each node (kNoEdge where the road is missing).
struct GridEdges {
    std::vector<std::uint32_t> east, west, north, south;
};

std::uint8_t line_class(std::uint32_t i) {
    if (i % 100 == 50) return 0;  // motorway
    if (i % 25 == 0) return 4;    // primary
    if (i % 5 == 0) return (i / 5) % 2 ? 6 : 8;  // secondary / tertiary
    return (i * 7) % 3 == 0 ? 10 : 11;            // unclassified / residential
}

qr::GraphDescription make_grid(const Options& o, Restrictions restrictions) {
    std::mt19937_64 rng(o.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const std::uint32_t side = o.side;
    const std::uint32_t n = side * side;
    qr::GraphDescription d;
    d.version = 5;  // embedded reverse adjacency and main component: the graph opens in place
    d.cell_size_deg = 0.01f;
    d.nodes.reserve(n);
    std::vector<float> elevation(n);
    for (std::uint32_t r = 0; r < side; ++r)
        for (std::uint32_t c = 0; c < side; ++c) {
            double lat = 50.0 + r * 0.0009 + (unit(rng) - 0.5) * 0.0005;
            double lon = 8.0 + c * 0.0014 + (unit(rng) - 0.5) * 0.0007;
            d.nodes.push_back({static_cast<float>(lat), static_cast<float>(lon),
                               static_cast<std::int64_t>(1 + r * side + c), 0, 0});
            elevation[r * side + c] =
                static_cast<float>(300.0 + 150.0 * std::sin(r / 37.0) * std::cos(c / 53.0) + 5.0 * unit(rng));
        }
    GridEdges ge{std::vector<std::uint32_t>(n, qr::kNoEdge), std::vector<std::uint32_t>(n, qr::kNoEdge),
                 std::vector<std::uint32_t>(n, qr::kNoEdge), std::vector<std::uint32_t>(n, qr::kNoEdge)};
    d.edges.reserve(static_cast<std::size_t>(n) * 4);
    auto add = [&](std::uint32_t u, std::uint32_t v, std::uint8_t cls) {
        qr::GraphWriterEdge e;
        e.from = u;
        e.to = v;
        const auto& a = d.nodes[u];
        const auto& b = d.nodes[v];
        e.length_m = static_cast<float>(qr::haversine_m(a.lat, a.lon, b.lat, b.lon) * (1.02 + 0.15 * unit(rng)));
        e.road_class = cls;
        switch (cls) {
            case 0: e.maxspeed_kmh = unit(rng) < 0.5 ? 0 : 120; e.toll = true; e.country = 5; break;
            case 4: e.maxspeed_kmh = 100; break;
            case 6: e.maxspeed_kmh = 70; break;
            case 8: e.maxspeed_kmh = 60; break;
            default: {
                double x = unit(rng);
                e.maxspeed_kmh = x < 0.5 ? 30 : 50;
                if (x > 0.97) e.access_class = 2;
                else if (x > 0.96) e.access_class = 4;
            }
        }
        e.has_elevation = true;
        e.elevation_from_m = elevation[u];
        e.elevation_to_m = elevation[v];
        d.edges.push_back(e);
        return static_cast<std::uint32_t>(d.edges.size() - 1);
    };
    for (std::uint32_t r = 0; r < side; ++r)
        for (std::uint32_t c = 0; c < side; ++c) {
            const std::uint32_t u = r * side + c;
            if (c + 1 < side && unit(rng) < 0.97) {
                const std::uint8_t cls = line_class(r);
                ge.east[u] = add(u, u + 1, cls);
                ge.west[u + 1] = add(u + 1, u, cls);
            }
            if (r + 1 < side && unit(rng) < 0.97) {
                const std::uint8_t cls = line_class(c);
                ge.north[u] = add(u, u + side, cls);
                ge.south[u + side] = add(u + side, u, cls);
            }
        }
    if (restrictions != Restrictions::None) {
        // "No left turn" (arriving from the south, turning west) at about 2 % of the junctions.
        for (std::uint32_t v = side; v < n; ++v) {
            if (unit(rng) >= 0.02) continue;
            const std::uint32_t from_south = ge.north[v - side];
            const std::uint32_t to_west = ge.west[v];
            if (from_south == qr::kNoEdge || to_west == qr::kNoEdge) continue;
            if (restrictions == Restrictions::Pairs) d.restriction_pairs.push_back({from_south, to_west});
            else d.osm_triples.push_back({d.nodes[v - side].osm_id, d.nodes[v].osm_id, d.nodes[v - 1].osm_id});
        }
    }
    return d;
}

// ---- plain Dijkstra over nodes with the search's admitted costs --------------------------------

struct DijkstraResult {
    double cost = std::numeric_limits<double>::max();
    std::uint64_t pops = 0;
};

// The search's lower bound of the cost of d metres, as a function of the profile.
double heuristic(const qr::RoutingProfile& profile, double d) {
    if (const auto* ev = profile.ev())
        return 0.08 * ev->base_consumption_wh_per_km * d / 1000.0 +
               d * ev->time_weight / (static_cast<double>(ev->max_speed_kmh) / 3.6);
    const auto* car = profile.car();
    return car->distance_only ? d : d / car->max_speed_ms();
}

// Plain Dijkstra (directed = false) or one-directional A* with the search's heuristic towards
// the end (directed = true), stopping when the end leaves the queue.
DijkstraResult dijkstra(const qr::MappedGraph& g, std::uint32_t start, std::uint32_t end,
                        const qr::RoutingProfile& profile, std::vector<double>& dist, bool directed) {
    const qr::NodeCoord goal = g.node_coord(end);
    auto h = [&](std::uint32_t v) {
        if (!directed) return 0.0;
        const qr::NodeCoord c = g.node_coord(v);
        return heuristic(profile, qr::haversine_m(c.lat, c.lon, goal.lat, goal.lon));
    };
    std::fill(dist.begin(), dist.end(), std::numeric_limits<double>::max());
    auto start_island_result = qr::private_island_from(g, start);
    auto end_island_result = qr::private_island_from(g, end);
    if (!start_island_result || !end_island_result) return {};
    const qr::PrivateIsland& start_island = *start_island_result;
    const qr::PrivateIsland& end_island = *end_island_result;
    struct Item {
        double key;
        double cost;
        std::uint32_t node;
    };
    std::vector<Item> heap;
    heap.reserve(1 << 16);
    auto cmp = [](const Item& a, const Item& b) { return a.key > b.key; };
    DijkstraResult result;
    dist[start] = 0.0;
    heap.push_back({h(start), 0.0, start});
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), cmp);
        const auto [key, d, u] = heap.back();
        heap.pop_back();
        ++result.pops;
        if (d > dist[u]) continue;  // stale
        if (u == end) {
            result.cost = d;
            return result;
        }
        const qr::EdgeRange range = *g.out_edges(u);
        for (std::uint32_t e : range) {
            const qr::EdgeView edge = *g.edge(e);
            const float c = profile.compute_cost_inline(edge);
            if (!(c < qr::kImpassableCost)) continue;
            const bool terminus = edge.access_class != 0 &&
                                  qr::edge_is_terminus(start_island, end_island, u, edge.target);
            auto penalty = qr::access_penalty(edge.access_class, c, terminus);
            if (!penalty) continue;
            const double nd = d + static_cast<double>(c) + *penalty;
            if (nd < dist[edge.target]) {
                dist[edge.target] = nd;
                heap.push_back({nd + h(edge.target), nd, edge.target});
                std::push_heap(heap.begin(), heap.end(), cmp);
            }
        }
    }
    return result;
}

// ---- measuring -----------------------------------------------------------------------------------

struct Sample {
    double ms = 0.0;
    std::uint64_t explored = 0;
    double cost = 0.0;
    bool found = false;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t k = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
    return v[std::min(k, v.size() - 1)];
}

struct Summary {
    double median_ms, p90_ms, median_explored, p90_explored;
    std::size_t found;
};

Summary summarise(const std::vector<Sample>& samples) {
    std::vector<double> ms, explored;
    std::size_t found = 0;
    for (const auto& s : samples) {
        ms.push_back(s.ms);
        explored.push_back(static_cast<double>(s.explored));
        found += s.found;
    }
    return {percentile(ms, 0.5), percentile(ms, 0.9), percentile(explored, 0.5), percentile(explored, 0.9), found};
}

template <class Fn>
Sample timed(Fn&& fn) {
    auto t0 = Clock::now();
    Sample s = fn();
    s.ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    return s;
}

Sample from_outcome(const qr::RouteOutcome& r) {
    Sample s;
    if (r) {
        s.found = true;
        s.explored = r->nodes_explored;
        s.cost = r->cost;
    }
    return s;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> random_pairs(const qr::MappedGraph& g, std::uint32_t count,
                                                                  std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    auto routable = [&] {
        while (true) {
            auto v = static_cast<std::uint32_t>(rng() % g.node_count());
            if (g.is_routable(v)) return v;
        }
    };
    while (pairs.size() < count) pairs.push_back({routable(), routable()});
    return pairs;
}

// Start and end within `window` grid cells of each other: trips of up to about 20 km, which keep
// the slower restricted searches short.
std::vector<std::pair<std::uint32_t, std::uint32_t>> local_pairs(const qr::MappedGraph& g, std::uint32_t side,
                                                                 std::uint32_t count, std::uint32_t window,
                                                                 std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    while (pairs.size() < count) {
        auto s = static_cast<std::uint32_t>(rng() % g.node_count());
        const std::int64_t r = s / side + static_cast<std::int64_t>(rng() % (2 * window + 1)) - window;
        const std::int64_t c = s % side + static_cast<std::int64_t>(rng() % (2 * window + 1)) - window;
        if (r < 0 || c < 0 || r >= side || c >= side) continue;
        auto t = static_cast<std::uint32_t>(r * side + c);
        if (g.is_routable(s) && g.is_routable(t)) pairs.push_back({s, t});
    }
    return pairs;
}

std::string fmt_count(double v) { return fmt::format("{:.0f}", v); }

struct Written {
    qr::MappedGraph graph;
    double write_s;
    std::uint64_t file_bytes;
};

Written write_and_open(const Options& o, Restrictions r, const char* tag) {
    auto t0 = Clock::now();
    qr::GraphDescription d = make_grid(o, r);
    auto path = std::filesystem::path(o.dir) / fmt::format("qr_router_bench_{}_{}.graph", ::getpid(), tag);
    auto layout = qr::write_graph_file(path, d);
    if (!layout) {
        std::fprintf(stderr, "writing %s failed: %s\n", path.c_str(), layout.error().message.c_str());
        std::exit(1);
    }
    double write_s = std::chrono::duration<double>(Clock::now() - t0).count();
    auto g = qr::MappedGraph::open(path);
    // The mapping stays valid without the name, and an interrupted run leaves nothing behind.
    std::filesystem::remove(path);
    if (!g) {
        std::fprintf(stderr, "opening %s failed: %s\n", path.c_str(), g.error().message.c_str());
        std::exit(1);
    }
    return {std::move(*g), write_s, layout->file_size};
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        if (k == "--side") o.side = static_cast<std::uint32_t>(std::atoi(argv[i + 1]));
        else if (k == "--pairs") o.pairs = static_cast<std::uint32_t>(std::atoi(argv[i + 1]));
        else if (k == "--restricted-pairs") o.restricted_pairs = static_cast<std::uint32_t>(std::atoi(argv[i + 1]));
        else if (k == "--dir") o.dir = argv[i + 1];
        else if (k == "--seed") o.seed = std::strtoull(argv[i + 1], nullptr, 10);
        else if (k == "--write-graph") o.write_graph = argv[i + 1];
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (!o.write_graph.empty()) {
        auto written = qr::write_graph_file(o.write_graph, make_grid(o, Restrictions::None));
        if (!written) {
            std::fprintf(stderr, "writing %s failed: %s\n", o.write_graph.c_str(), written.error().message.c_str());
            return 1;
        }
        auto g = qr::MappedGraph::open(o.write_graph);
        if (!g) {
            std::fprintf(stderr, "writing %s failed: %s\n", o.write_graph.c_str(), g.error().message.c_str());
            return 1;
        }
        for (auto [s, t] : random_pairs(*g, o.pairs, o.seed + 1)) {
            qr::NodeCoord a = g->node_coord(s), b = g->node_coord(t);
            std::printf("%.9g %.9g %.9g %.9g\n", a.lat, a.lon, b.lat, b.lon);
        }
        return 0;
    }
    const qr::EvConfig vehicle{};
    const std::uint64_t budget = 50'000'000;

    // ---- 1. no restrictions: bidirectional A* against Dijkstra --------------------------------------
    {
        Written w = write_and_open(o, Restrictions::None, "plain");
        const qr::MappedGraph& g = w.graph;
        std::printf("Graph: %u nodes, %u edges, %.1f MB, written in %.1f s\n\n", g.node_count(), g.edge_count(),
                    static_cast<double>(w.file_bytes) / 1048576.0, w.write_s);
        auto pairs = random_pairs(g, o.pairs, o.seed + 1);
        std::vector<double> dist(g.node_count());
        std::printf("| profile | search | found | median ms | p90 ms | median explored | p90 explored |\n");
        std::printf("|---|---|---|---|---|---|---|\n");
        for (const char* name : {"car-fast", "car-short", "ev-default"}) {
            auto profile = qr::RoutingProfile::by_name_with_config(name, vehicle);
            std::vector<Sample> astar, plain, directed;
            std::size_t mismatched = 0, directed_mismatched = 0;
            auto differs = [](const Sample& a, const Sample& b) {
                return a.found != b.found || (a.found && std::fabs(a.cost - b.cost) > 1e-6 * std::max(1.0, b.cost));
            };
            for (auto [s, t] : pairs) {
                astar.push_back(timed([&] { return from_outcome(qr::find_route(g, s, t, profile, budget)); }));
                plain.push_back(timed([&] {
                    auto r = dijkstra(g, s, t, profile, dist, false);
                    return Sample{0.0, r.pops, r.cost, r.cost < std::numeric_limits<double>::max()};
                }));
                directed.push_back(timed([&] {
                    auto r = dijkstra(g, s, t, profile, dist, true);
                    return Sample{0.0, r.pops, r.cost, r.cost < std::numeric_limits<double>::max()};
                }));
                mismatched += differs(astar.back(), plain.back());
                directed_mismatched += differs(directed.back(), plain.back());
            }
            for (auto [label, samples] : {std::pair{"find_route (bidirectional A*)", &astar},
                                          std::pair{"one-directional A* (same heuristic)", &directed},
                                          std::pair{"plain Dijkstra", &plain}}) {
                Summary sm = summarise(*samples);
                std::printf("| %s | %s | %zu/%zu | %.1f | %.1f | %s | %s |\n", name, label, sm.found, samples->size(),
                            sm.median_ms, sm.p90_ms, fmt_count(sm.median_explored).c_str(),
                            fmt_count(sm.p90_explored).c_str());
            }
            std::printf("| %s | routes costing other than Dijkstra: find_route %zu, one-directional A* %zu | | | | | |\n",
                        name, mismatched, directed_mismatched);
            std::fflush(stdout);
        }
    }

    // ---- 2. restricted searches: state maps -----------------------------------------------------------
    std::printf("\n| graph | profile | state map | found | median ms | p90 ms | median explored | p90 explored |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (auto [r, tag] : {std::pair{Restrictions::Pairs, "pairs"}, std::pair{Restrictions::Triples, "triples"}}) {
        Written w = write_and_open(o, r, tag);
        const qr::MappedGraph& g = w.graph;
        auto pairs = local_pairs(g, o.side, o.restricted_pairs, 150, o.seed + 2);
        for (const char* name : {"car-fast", "car-short"}) {
            auto profile = qr::RoutingProfile::by_name_with_config(name, vehicle);
            // Interleaved, so that both maps see the same machine load.
            std::vector<Sample> flat, stdmap;
            for (auto [s, t] : pairs) {
                flat.push_back(timed([&] {
                    return from_outcome(qr::detail::find_route_with_state_map(
                        g, s, t, profile, budget, std::nullopt, qr::detail::StateMapKind::AbslFlat));
                }));
                stdmap.push_back(timed([&] {
                    return from_outcome(qr::detail::find_route_with_state_map(
                        g, s, t, profile, budget, std::nullopt, qr::detail::StateMapKind::StdUnordered));
                }));
            }
            for (auto [label, samples] : {std::pair{"absl::flat_hash_map", &flat},
                                          std::pair{"std::unordered_map", &stdmap}}) {
                Summary sm = summarise(*samples);
                std::printf("| %s (%zu) | %s | %s | %zu/%zu | %.1f | %.1f | %s | %s |\n", tag,
                            r == Restrictions::Pairs ? g.restriction_pairs().size() : g.osm_triples().size(), name,
                            label, sm.found, samples->size(), sm.median_ms, sm.p90_ms,
                            fmt_count(sm.median_explored).c_str(), fmt_count(sm.p90_explored).c_str());
            }
            std::fflush(stdout);
        }
    }
    return 0;
}
