// Randomized cross-check of the route search against a plain Dijkstra over the same state space
// (node; node with incoming edge; previous node and node), on random small graphs written by our
// writer, with access classes, tolls, speed limits, elevations and turn restrictions.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <queue>
#include <random>
#include <set>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "graph_fixtures.hpp"
#include "quorvel_routing/graph_writer.hpp"
#include "quorvel_routing/router.hpp"
#include "quorvel_routing/spatial.hpp"

namespace qr = quorvel_routing;
using qr::SearchForm;

namespace {

struct Written {
    qr::GraphDescription desc;
    qr::GraphFileLayout layout;
    std::optional<qr::MappedGraph> graph;
};

// One decoded out-edge as the reference sees it.
struct RefEdge {
    std::uint32_t index;
    std::uint32_t target;
    qr::EdgeView view;
};

Written write_and_open(qr::GraphDescription desc) {
    Written w;
    auto file = qr::testing::write_temp_graph(desc);
    auto graph = qr::MappedGraph::open(file.path());
    if (!graph) throw std::runtime_error("open: " + graph.error().message);
    w.desc = std::move(desc);
    w.layout = file.layout();
    w.graph.emplace(std::move(*graph));
    return w;
}

// A random graph in a box of about 2 x 2 km; lengths are at least 5 % above the great-circle
// distance of the stored coordinates (plus a metre), so the car heuristics stay consistent.
qr::GraphDescription random_graph(std::mt19937_64& rng, SearchForm form) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto chance = [&](double p) { return unit(rng) < p; };
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };

    qr::GraphDescription d;
    d.version = form == SearchForm::Bidirectional ? 2 + pick(6) : 3 + pick(5);
    d.cell_size_deg = 0.005f;
    const std::uint32_t n = 6 + pick(30);
    for (std::uint32_t i = 0; i < n; ++i) {
        d.nodes.push_back({static_cast<float>(50.0 + 0.018 * unit(rng)), static_cast<float>(8.0 + 0.028 * unit(rng)),
                           static_cast<std::int64_t>(5000 + 7 * i), 0, 0});
    }
    std::set<std::pair<std::uint32_t, std::uint32_t>> used;
    const std::uint32_t wanted = n + pick(2 * n);
    const std::uint8_t limits[] = {0, 0, 0, 20, 30, 50, 80, 100, 130};
    const std::uint8_t countries[] = {0, 0, 3, 5};  // none, CH, DE
    auto add = [&](std::uint32_t u, std::uint32_t v, const qr::GraphWriterEdge* like) {
        if (u == v || !used.insert({u, v}).second) return;
        qr::GraphWriterEdge e = like ? *like : qr::GraphWriterEdge{};
        e.from = u;
        e.to = v;
        const auto& a = d.nodes[u];
        const auto& b = d.nodes[v];
        double dist = qr::haversine_m(a.lat, a.lon, b.lat, b.lon);
        e.length_m = static_cast<float>(std::ceil((dist * (1.05 + 0.6 * unit(rng)) + 1.0) * 10.0) / 10.0);
        if (!like) {
            e.road_class = static_cast<std::uint8_t>(pick(16));  // 14, 15: no class
            e.maxspeed_kmh = limits[pick(std::size(limits))];
            e.access_class = chance(0.7) ? 0 : static_cast<std::uint8_t>(1 + pick(7));
            e.toll = chance(0.25);
            e.country = countries[pick(std::size(countries))];
            if (chance(0.5)) {
                e.has_elevation = true;
                e.elevation_from_m = static_cast<float>(std::round(unit(rng) * 4000.0) / 10.0);
                e.elevation_to_m = static_cast<float>(std::round(unit(rng) * 4000.0) / 10.0);
            }
        } else {
            std::swap(e.elevation_from_m, e.elevation_to_m);
        }
        d.edges.push_back(e);
    };
    // A spanning chain keeps most nodes connected; the rest are random, often two-way.
    for (std::uint32_t i = 1; i < n; ++i) {
        add(pick(i), i, nullptr);
        if (chance(0.6) && !d.edges.empty()) add(d.edges.back().to, d.edges.back().from, &d.edges.back());
    }
    while (d.edges.size() < wanted + n) {
        std::uint32_t u = pick(n), v = pick(n);
        std::size_t before = d.edges.size();
        add(u, v, nullptr);
        if (d.edges.size() > before && chance(0.5)) {
            qr::GraphWriterEdge copy = d.edges.back();
            add(v, u, &copy);
        }
        if (used.size() >= static_cast<std::size_t>(n) * (n - 1)) break;
    }

    if (form == SearchForm::PairRestricted) {
        // Pairs of consecutive edges (u -> v, v -> w), some triples as well.
        for (std::uint32_t k = 0; k < 2 + pick(2 * n); ++k) {
            std::uint32_t a = pick(static_cast<std::uint32_t>(d.edges.size()));
            std::vector<std::uint32_t> next;
            for (std::uint32_t b = 0; b < d.edges.size(); ++b)
                if (d.edges[b].from == d.edges[a].to) next.push_back(b);
            if (!next.empty()) d.restriction_pairs.push_back({a, next[pick(static_cast<std::uint32_t>(next.size()))]});
        }
    }
    if (form != SearchForm::Bidirectional) {
        const std::uint32_t triples = form == SearchForm::TripleRestricted ? 1 + pick(2 * n) : pick(n / 2 + 1);
        for (std::uint32_t k = 0; k < triples; ++k) {
            std::uint32_t a = pick(static_cast<std::uint32_t>(d.edges.size()));
            std::vector<std::uint32_t> next;
            for (std::uint32_t b = 0; b < d.edges.size(); ++b)
                if (d.edges[b].from == d.edges[a].to) next.push_back(b);
            if (next.empty()) continue;
            const auto& e1 = d.edges[a];
            const auto& e2 = d.edges[next[pick(static_cast<std::uint32_t>(next.size()))]];
            d.osm_triples.push_back({d.nodes[e1.from].osm_id, d.nodes[e1.to].osm_id, d.nodes[e2.to].osm_id});
        }
        if (form == SearchForm::TripleRestricted && d.osm_triples.empty()) d.osm_triples.push_back({-1, -2, -3});
    }
    return d;
}

// ---- the reference -------------------------------------------------------------------------------

class Reference {
public:
    Reference(const Written& w, const qr::RoutingProfile& profile) : g_(*w.graph), profile_(profile) {
        const std::uint32_t n = g_.node_count();
        out_.resize(n);
        for (std::uint32_t u = 0; u < n; ++u) {
            const qr::EdgeRange range = *g_.out_edges(u);
            for (std::uint32_t e : range) {
                auto view = *g_.edge(e);
                out_[u].push_back({e, view.target, view});
                source_of_edge_[e] = u;
            }
        }
        for (const auto& p : w.desc.restriction_pairs)
            pairs_.insert({w.layout.file_edge_index[p.from_edge], w.layout.file_edge_index[p.to_edge]});
        for (const auto& t : w.desc.osm_triples) triples_.insert({t.from, t.via, t.to});
    }

    // Admitted cost (edge cost plus access penalty) of a move, or none.
    std::optional<std::pair<float, double>> admitted(std::uint32_t u, const RefEdge& e) const {
        float c = profile_.compute_cost_inline(e.view);
        if (!(c < qr::kImpassableCost)) return std::nullopt;
        bool terminus = start_island_.count(u) || start_island_.count(e.target) || end_island_.count(u) ||
                        end_island_.count(e.target);
        switch (e.view.access_class) {
            case 0: return std::pair{c, 0.0};
            case 1: case 2: case 3: return std::pair{c, terminus ? 0.0 : 9.0 * c};
            case 4: if (terminus) return std::pair{c, 0.0}; return std::nullopt;
            default: return std::nullopt;
        }
    }

    std::set<std::uint32_t> island(std::uint32_t n) const {
        std::set<std::uint32_t> seen{n};
        std::vector<std::uint32_t> todo{n};
        while (!todo.empty()) {
            std::uint32_t u = todo.back();
            todo.pop_back();
            for (const auto& e : out_[u])
                if (e.view.access_class >= 1 && e.view.access_class <= 4 && seen.insert(e.target).second)
                    todo.push_back(e.target);
        }
        return seen;
    }

    double turn(std::uint32_t p, std::uint32_t u, std::uint32_t v) const {
        auto a = g_.node_coord(source_of_edge_.at(p)), b = g_.node_coord(u), c = g_.node_coord(v);
        return qr::turn_penalty(qr::initial_bearing_deg(a.lat, a.lon, b.lat, b.lon),
                                qr::initial_bearing_deg(b.lat, b.lon, c.lat, c.lon),
                                static_cast<std::uint32_t>(out_[u].size()));
    }

    bool triple(std::int64_t a, std::int64_t b, std::int64_t c) const { return triples_.count({a, b, c}) > 0; }

    // The cheapest cost from start to end in the state space of `form`.
    std::optional<double> cheapest(SearchForm form, std::uint32_t start, std::uint32_t end,
                                   std::optional<std::int64_t> approach) {
        start_island_ = island(start);
        end_island_ = island(end);
        using State = std::pair<std::int64_t, std::uint32_t>;  // (edge, node) or (prev osm, node)
        std::map<State, double> best;
        using Item = std::pair<double, State>;
        std::priority_queue<Item, std::vector<Item>, std::greater<>> queue;
        State s0{-1, start};
        if (form == SearchForm::PairRestricted && approach) {
            for (std::uint32_t x = 0; x < g_.node_count(); ++x)
                if (g_.node_osm_id(x) == *approach)
                    for (const auto& e : out_[x])
                        if (e.target == start) s0.first = e.index;
        }
        if (form == SearchForm::TripleRestricted) s0.first = approach.value_or(std::numeric_limits<std::int64_t>::min());
        best[s0] = 0.0;
        queue.push({0.0, s0});
        while (!queue.empty()) {
            auto [cost, state] = queue.top();
            queue.pop();
            if (cost > best[state]) continue;
            const std::uint32_t u = state.second;
            if (u == end) return cost;
            const std::int64_t u_osm = g_.node_osm_id(u);
            for (const auto& e : out_[u]) {
                auto adm = admitted(u, e);
                if (!adm) continue;
                const std::int64_t v_osm = g_.node_osm_id(e.target);
                double next = 0.0;
                State ns{0, e.target};
                if (form == SearchForm::PairRestricted) {
                    const std::int64_t p = state.first;
                    if (p < 0 && approach && u == start && !triples_.empty() && triple(*approach, u_osm, v_osm))
                        continue;
                    double t = 0.0;
                    if (p >= 0) {
                        auto pe = static_cast<std::uint32_t>(p);
                        if (pairs_.count({pe, e.index})) continue;
                        if (triple(g_.node_osm_id(source_of_edge_.at(pe)), u_osm, v_osm)) continue;
                        t = turn(pe, u, e.target);
                    }
                    next = cost + static_cast<double>(adm->first) + adm->second + t;
                    ns.first = e.index;
                } else if (form == SearchForm::TripleRestricted) {
                    if (triple(state.first, u_osm, v_osm)) continue;
                    next = cost + static_cast<double>(adm->first) + adm->second;
                    ns.first = u_osm;
                } else {
                    next = cost + static_cast<double>(adm->first) + adm->second;
                    ns.first = -1;
                }
                auto it = best.find(ns);
                if (it == best.end() || next < it->second) {
                    best[ns] = next;
                    queue.push({next, ns});
                }
            }
        }
        return std::nullopt;
    }

    // Re-costs a returned node path move by move (the graphs have no parallel edges) and checks
    // that every move is allowed. Returns the summed cost, or none for a forbidden move.
    std::optional<double> path_cost(SearchForm form, const std::vector<std::uint32_t>& path,
                                    std::optional<std::int64_t> approach) const {
        double sum = 0.0;
        std::int64_t p = -1;
        std::int64_t prev_osm = std::numeric_limits<std::int64_t>::min();
        if (form == SearchForm::PairRestricted && approach) {
            for (std::uint32_t x = 0; x < g_.node_count(); ++x)
                if (g_.node_osm_id(x) == *approach)
                    for (const auto& e : out_[x])
                        if (e.target == path.front()) p = e.index;
        }
        if (approach) prev_osm = *approach;
        for (std::size_t i = 0; i + 1 < path.size(); ++i) {
            const std::uint32_t u = path[i], v = path[i + 1];
            const RefEdge* edge = nullptr;
            for (const auto& e : out_[u])
                if (e.target == v) edge = &e;
            if (!edge) return std::nullopt;
            auto adm = admitted(u, *edge);
            if (!adm) return std::nullopt;
            const std::int64_t u_osm = g_.node_osm_id(u), v_osm = g_.node_osm_id(v);
            double t = 0.0;
            if (form == SearchForm::PairRestricted) {
                if (p >= 0) {
                    auto pe = static_cast<std::uint32_t>(p);
                    if (pairs_.count({pe, edge->index})) return std::nullopt;
                    if (triple(g_.node_osm_id(source_of_edge_.at(pe)), u_osm, v_osm)) return std::nullopt;
                    t = turn(pe, u, v);
                } else if (approach && i == 0 && !triples_.empty() && triple(*approach, u_osm, v_osm)) {
                    return std::nullopt;
                }
                p = edge->index;
            } else if (form == SearchForm::TripleRestricted) {
                if (triple(prev_osm, u_osm, v_osm)) return std::nullopt;
                prev_osm = u_osm;
            }
            sum = sum + static_cast<double>(adm->first) + adm->second + t;
        }
        return sum;
    }

private:
    const qr::MappedGraph& g_;
    const qr::RoutingProfile& profile_;
    std::vector<std::vector<RefEdge>> out_;
    std::map<std::uint32_t, std::uint32_t> source_of_edge_;
    std::set<std::pair<std::uint32_t, std::uint32_t>> pairs_;
    std::set<std::tuple<std::int64_t, std::int64_t, std::int64_t>> triples_;
    std::set<std::uint32_t> start_island_, end_island_;
};

const char* form_name(SearchForm f) {
    switch (f) {
        case SearchForm::Bidirectional: return "bidirectional";
        case SearchForm::PairRestricted: return "pairs";
        case SearchForm::TripleRestricted: return "triples";
    }
    return "?";
}

struct Tally {
    std::uint64_t routes = 0;
    std::uint64_t no_route = 0;
    std::uint64_t differing = 0;
    double worst_ratio = 1.0;
};

}  // namespace

TEST(RouterCrossCheck, RandomGraphsAgainstReferenceDijkstra) {
    const qr::EvConfig vehicle{};
    std::vector<qr::RoutingProfile> profiles;
    for (const char* name : {"car-fast", "car-short", "ev-default", "ev-efficient"})
        profiles.push_back(qr::RoutingProfile::by_name_with_config(name, vehicle));
    profiles.push_back(
        qr::RoutingProfile::by_name_with_config("car-fast", vehicle).with_toll_overrides(
            std::vector<std::string>{"ch"}, std::vector<std::string>{"de"}, false));
    profiles.push_back(
        qr::RoutingProfile::by_name_with_config("ev-default", vehicle).with_toll_overrides(
            std::vector<std::string>{"ch", "de"}, std::nullopt, false));

    std::map<std::pair<SearchForm, bool>, Tally> tallies;  // (form, ev)
    const int graphs_per_form = 70;
    for (SearchForm form : {SearchForm::Bidirectional, SearchForm::PairRestricted, SearchForm::TripleRestricted}) {
        for (int round = 0; round < graphs_per_form; ++round) {
            const std::uint64_t seed = 1000 * static_cast<std::uint64_t>(form) + round;
            SCOPED_TRACE(fmt::format("form {} seed {}", form_name(form), seed));
            std::mt19937_64 rng(seed);
            Written w = write_and_open(random_graph(rng, form));
            const qr::MappedGraph& g = *w.graph;
            ASSERT_EQ(qr::search_form_for(g), form);
            const std::uint32_t n = g.node_count();
            for (int q = 0; q < 8; ++q) {
                const std::uint32_t start = static_cast<std::uint32_t>(rng() % n);
                const std::uint32_t end = static_cast<std::uint32_t>(rng() % n);
                std::optional<std::int64_t> approach;
                if (form != SearchForm::Bidirectional && rng() % 3 != 0) {
                    // Mostly a real neighbour that has an edge into the start, sometimes any node.
                    approach = g.node_osm_id(static_cast<std::uint32_t>(rng() % n));
                    auto incoming = *g.incoming(start);
                    if (!incoming.empty() && rng() % 4 != 0)
                        approach = g.node_osm_id(incoming[static_cast<std::uint32_t>(rng() % incoming.size())].source);
                }
                for (const auto& profile : profiles) {
                    SCOPED_TRACE(fmt::format("{} {} -> {} approach {}", profile.name(), start, end,
                                             approach ? std::to_string(*approach) : "none"));
                    Reference ref(w, profile);
                    auto expected = ref.cheapest(form, start, end, approach);
                    auto route = qr::find_route_with_approach(g, start, end, profile, 10'000'000, approach);
                    const bool ev = profile.ev() != nullptr;
                    Tally& tally = tallies[{form, ev}];
                    if (!expected) {
                        ++tally.no_route;
                        EXPECT_EQ(route, std::unexpected(qr::RouteFindError::no_route()));
                        continue;
                    }
                    ASSERT_TRUE(route.has_value()) << route.error().display() << " expected " << *expected;
                    ++tally.routes;
                    ASSERT_FALSE(route->path.empty());
                    EXPECT_EQ(route->path.front(), start);
                    EXPECT_EQ(route->path.back(), end);
                    auto summed = ref.path_cost(form, route->path, approach);
                    ASSERT_TRUE(summed.has_value()) << "the path makes a forbidden move";
                    EXPECT_EQ(*summed, route->cost) << "path cost differs from the reported cost";
                    if (!ev) {
                        EXPECT_EQ(route->cost, *expected);
                    } else {
                        EXPECT_GE(route->cost, *expected - 1e-9 * std::max(1.0, *expected));
                        if (route->cost != *expected) {
                            ++tally.differing;
                            tally.worst_ratio = std::max(tally.worst_ratio, route->cost / *expected);
                        }
                    }
                }
            }
        }
    }

    std::uint64_t ev_routes = 0, ev_differing = 0;
    for (const auto& [key, t] : tallies) {
        std::string line = fmt::format("{:>13} {:>3}: {} routes, {} without route, {} costlier than the reference "
                                       "(worst x{:.4f})",
                                       form_name(key.first), key.second ? "EV" : "car", t.routes, t.no_route,
                                       t.differing, t.worst_ratio);
        std::cout << line << "\n";
        if (key.second) {
            ev_routes += t.routes;
            ev_differing += t.differing;
        }
    }
    const double rate = ev_routes ? 100.0 * static_cast<double>(ev_differing) / static_cast<double>(ev_routes) : 0.0;
    std::cout << fmt::format("EV routes costlier than the reference: {} of {} ({:.2f} %)\n", ev_differing, ev_routes,
                             rate);
    RecordProperty("ev_disagreement_pct", fmt::format("{:.2f}", rate));
    // Enough routes were compared for the check to mean something.
    EXPECT_GT(ev_routes, 500u);
}
