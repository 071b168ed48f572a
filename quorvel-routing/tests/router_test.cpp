#include "quorvel_routing/router.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph_fixtures.hpp"
#include "quorvel_routing/graph_writer.hpp"
#include "quorvel_routing/spatial.hpp"

namespace qr = quorvel_routing;
using qr::SearchForm;

// Every allocation through operator new is counted, so that a test can check that a search
// allocates a bounded number of times, not once per relaxation.
namespace {
std::uint64_t g_allocations = 0;
}
void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// A small graph described in a few lines, written by our writer and opened as a mapped graph.
struct GraphBuilder {
    qr::GraphDescription desc;

    GraphBuilder() {
        desc.version = 7;
        desc.cell_size_deg = 0.01f;
    }

    std::uint32_t node(double lat, double lon) {
        auto index = static_cast<std::uint32_t>(desc.nodes.size());
        desc.nodes.push_back({static_cast<float>(lat), static_cast<float>(lon), 1000 + index, 0, 0});
        return index;
    }
    std::int64_t osm(std::uint32_t node) const { return desc.nodes[node].osm_id; }

    // Returns the input index of the edge (what restriction pairs refer to).
    std::uint32_t edge(std::uint32_t from, std::uint32_t to, float length_m, std::uint8_t access_class = 0) {
        qr::GraphWriterEdge e;
        e.from = from;
        e.to = to;
        e.length_m = length_m;
        e.road_class = 11;  // residential
        e.access_class = access_class;
        desc.edges.push_back(e);
        return static_cast<std::uint32_t>(desc.edges.size() - 1);
    }
    void road(std::uint32_t a, std::uint32_t b, float length_m, std::uint8_t access_class = 0) {
        edge(a, b, length_m, access_class);
        edge(b, a, length_m, access_class);
    }

    // Adds an unconnected restriction far away, so that the graph is searched in `form` without
    // any effect on the routes of the test.
    void force_form(SearchForm form) {
        if (form == SearchForm::PairRestricted) {
            std::uint32_t a = node(49.5, 7.5), b = node(49.5, 7.501);
            std::uint32_t ab = edge(a, b, 100.0f), ba = edge(b, a, 100.0f);
            desc.restriction_pairs.push_back({ab, ba});
        } else if (form == SearchForm::TripleRestricted) {
            desc.osm_triples.push_back({-1, -2, -3});
        }
    }

    // The mapping outlives the temporary file, which is removed on return.
    qr::MappedGraph open() const {
        auto file = qr::testing::write_temp_graph(desc);
        auto graph = qr::MappedGraph::open(file.path());
        if (!graph) throw std::runtime_error("open: " + graph.error().message);
        return std::move(*graph);
    }
};

const qr::EvConfig kVehicle{};
qr::RoutingProfile car_short() { return qr::RoutingProfile::by_name_with_config("car-short", kVehicle); }
qr::RoutingProfile car_fast() { return qr::RoutingProfile::by_name_with_config("car-fast", kVehicle); }

std::string form_name(SearchForm f) {
    switch (f) {
        case SearchForm::Bidirectional: return "bidirectional";
        case SearchForm::PairRestricted: return "pairs";
        case SearchForm::TripleRestricted: return "triples";
    }
    return "?";
}

using Path = std::vector<std::uint32_t>;

}  // namespace

// ---- results and errors --------------------------------------------------------------------------

TEST(RouteFindError, DisplayTexts) {
    EXPECT_EQ(qr::RouteFindError::no_route().display(),
              "No drivable route found between these points on the loaded map (disconnected network or impassable "
              "roads).");
    EXPECT_EQ(qr::RouteFindError::step_limit(50000000).display(),
              "Route search hit the step budget (50000000). The trip may be too long for this limit\xE2\x80\x94try "
              "increasing MaxSteps or splitting into shorter legs.");
    EXPECT_EQ(qr::RouteFindError::graph_error(qr::Error("Edge 7 points to node 99 of 4")).display(),
              "Route search failed on a corrupt graph file: Edge 7 points to node 99 of 4");
}

TEST(SearchFormChoice, ByRestrictionsTheGraphCarries) {
    struct Case {
        const char* what;
        bool pair, triple, payload;
        SearchForm expected;
    };
    const std::vector<Case> cases = {
        {"nothing", false, false, true, SearchForm::Bidirectional},
        {"one pair", true, false, true, SearchForm::PairRestricted},
        {"pair and triple", true, true, true, SearchForm::PairRestricted},
        {"triple only", false, true, true, SearchForm::TripleRestricted},
        {"payload rejected at open", true, true, false, SearchForm::Bidirectional},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        GraphBuilder b;
        b.desc.version = 3;
        auto s = b.node(50.0, 8.0), t = b.node(50.001, 8.0);
        auto st = b.edge(s, t, 120.0f), ts = b.edge(t, s, 120.0f);
        if (c.pair) b.desc.restriction_pairs.push_back({st, ts});
        if (c.triple) b.desc.osm_triples.push_back({b.osm(s), b.osm(t), b.osm(s)});
        b.desc.write_restriction_payload = c.payload;
        auto g = b.open();
        EXPECT_EQ(qr::search_form_for(g), c.expected);
        auto route = qr::find_route(g, s, t, car_short(), 1000);
        ASSERT_TRUE(route.has_value());
        EXPECT_EQ(route->path, (Path{s, t}));
    }
}

// ---- the three forms on the same small graphs ------------------------------------------------------

class EveryForm : public testing::TestWithParam<SearchForm> {};
INSTANTIATE_TEST_SUITE_P(Router, EveryForm,
                         testing::Values(SearchForm::Bidirectional, SearchForm::PairRestricted,
                                         SearchForm::TripleRestricted),
                         [](const auto& info) { return form_name(info.param); });

TEST_P(EveryForm, LeastCostPathOfTwo) {
    // s -> a -> t costs 220 m, s -> b -> t 230 m; at 30 km/h (residential) 26.4 s and 27.6 s.
    GraphBuilder b;
    auto s = b.node(50.000, 8.000), a = b.node(50.001, 8.000), bb = b.node(50.000, 8.001), t = b.node(50.001, 8.001);
    b.edge(s, a, 120.0f);
    b.edge(a, t, 100.0f);
    b.edge(s, bb, 80.0f);
    b.edge(bb, t, 150.0f);
    b.force_form(GetParam());
    auto g = b.open();
    ASSERT_EQ(qr::search_form_for(g), GetParam());

    auto route = qr::find_route(g, s, t, car_short(), 1000);
    ASSERT_TRUE(route.has_value()) << route.error().display();
    EXPECT_EQ(route->path, (Path{s, a, t}));
    EXPECT_EQ(route->cost, 220.0);
    EXPECT_GT(route->nodes_explored, 0u);

    route = qr::find_route(g, s, t, car_fast(), 1000);
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->path, (Path{s, a, t}));
    EXPECT_NEAR(route->cost, 26.4, 1e-4);

    // One-way edges: nothing leads back.
    EXPECT_EQ(qr::find_route(g, t, s, car_short(), 1000), std::unexpected(qr::RouteFindError::no_route()));
}

TEST_P(EveryForm, StartEqualsEnd) {
    GraphBuilder b;
    auto s = b.node(50.0, 8.0), t = b.node(50.001, 8.0);
    b.road(s, t, 120.0f);
    b.force_form(GetParam());
    auto g = b.open();
    auto route = qr::find_route(g, s, s, car_fast(), 1000);
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->path, (Path{s}));
    EXPECT_EQ(route->cost, 0.0);
    EXPECT_EQ(route->nodes_explored, 1u);
}

TEST_P(EveryForm, AccessClassTableAwayFromTheEnds) {
    // Public chain a -> b -> c -> d (120, 1000, 120 m) and a shortcut b -> p -> c (100 m each)
    // of the given access class that touches neither end's island.
    struct Case {
        std::uint8_t access_class;
        Path path;
        double cost;
    };
    const std::vector<Case> cases = {
        {0, {0, 1, 4, 2, 3}, 440.0},
        {1, {0, 1, 2, 3}, 1240.0},  // 200 m at ten times the cost: the chain is cheaper
        {3, {0, 1, 2, 3}, 1240.0},
        {4, {0, 1, 2, 3}, 1240.0},  // not used
        {5, {0, 1, 2, 3}, 1240.0},
        {7, {0, 1, 2, 3}, 1240.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.access_class));
        GraphBuilder b;
        auto a = b.node(50.000, 8.0), bn = b.node(50.001, 8.0), cn = b.node(50.002, 8.0), d = b.node(50.003, 8.0);
        auto p = b.node(50.0015, 8.001);
        b.edge(a, bn, 120.0f);
        b.edge(bn, cn, 1000.0f);
        b.edge(cn, d, 120.0f);
        b.edge(bn, p, 100.0f, c.access_class);
        b.edge(p, cn, 100.0f, c.access_class);
        b.force_form(GetParam());
        auto g = b.open();
        auto route = qr::find_route(g, a, d, car_short(), 1000);
        ASSERT_TRUE(route.has_value());
        EXPECT_EQ(route->path, c.path);
        EXPECT_EQ(route->cost, c.cost);
    }
}

TEST_P(EveryForm, RestrictedEdgeCostsTenTimesUnlessItTouchesAnEnd) {
    // a -> b -> c -> d, 120 m each; b -> c has class 2.
    GraphBuilder b;
    auto a = b.node(50.000, 8.0), bn = b.node(50.001, 8.0), cn = b.node(50.002, 8.0), d = b.node(50.003, 8.0);
    b.edge(a, bn, 120.0f);
    b.edge(bn, cn, 120.0f, 2);
    b.edge(cn, d, 120.0f);
    b.force_form(GetParam());
    auto g = b.open();
    auto through = qr::find_route(g, a, d, car_short(), 1000);
    ASSERT_TRUE(through.has_value());
    EXPECT_EQ(through->cost, 120.0 + 1200.0 + 120.0);
    auto from_b = qr::find_route(g, bn, d, car_short(), 1000);
    ASSERT_TRUE(from_b.has_value());
    EXPECT_EQ(from_b->cost, 240.0);
    auto to_c = qr::find_route(g, a, cn, car_short(), 1000);
    ASSERT_TRUE(to_c.has_value());
    EXPECT_EQ(to_c->cost, 240.0);
}

TEST_P(EveryForm, PrivateAreaAroundTheStart) {
    // Public chain a -> b -> c -> d (120, 1000, 120 m). A private area p1 <-> p2 <-> p3 with
    // class-4 roads, entered from b and left towards c (class 4, 100 m each).
    GraphBuilder b;
    auto a = b.node(50.000, 8.0), bn = b.node(50.001, 8.0), cn = b.node(50.002, 8.0), d = b.node(50.003, 8.0);
    auto p1 = b.node(50.0012, 8.001), p2 = b.node(50.0015, 8.001), p3 = b.node(50.0018, 8.001);
    b.edge(a, bn, 120.0f);
    b.edge(bn, cn, 1000.0f);
    b.edge(cn, d, 120.0f);
    b.road(p1, p2, 100.0f, 4);
    b.road(p2, p3, 100.0f, 4);
    b.edge(bn, p1, 100.0f, 4);
    b.edge(p3, cn, 100.0f, 4);
    b.force_form(GetParam());
    auto g = b.open();

    auto island = qr::private_island_from(g, p2);
    ASSERT_TRUE(island.has_value());
    EXPECT_EQ(*island, (qr::PrivateIsland{p1, p2, p3, cn}));
    EXPECT_EQ(*qr::private_island_from(g, a), (qr::PrivateIsland{a}));

    // Through traffic stays on the public road.
    auto through = qr::find_route(g, a, d, car_short(), 1000);
    ASSERT_TRUE(through.has_value());
    EXPECT_EQ(through->path, (Path{a, bn, cn, d}));
    EXPECT_EQ(through->cost, 1240.0);
    // From inside the area the class-4 roads are used at their plain cost.
    auto out = qr::find_route(g, p1, d, car_short(), 1000);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->path, (Path{p1, p2, p3, cn, d}));
    EXPECT_EQ(out->cost, 420.0);
}

TEST_P(EveryForm, ClassFiveIsNeverUsedEvenFromTheStart) {
    GraphBuilder b;
    auto s = b.node(50.0, 8.0), t = b.node(50.001, 8.0), m = b.node(50.0005, 8.001);
    b.edge(s, t, 120.0f, 5);
    b.force_form(GetParam());
    {
        auto g = b.open();
        EXPECT_EQ(qr::find_route(g, s, t, car_short(), 1000), std::unexpected(qr::RouteFindError::no_route()));
    }
    b.edge(s, m, 100.0f);
    b.edge(m, t, 100.0f);
    auto g = b.open();
    auto route = qr::find_route(g, s, t, car_short(), 1000);
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->path, (Path{s, m, t}));
}

TEST_P(EveryForm, AvoidedTollRoadIsNotUsed) {
    GraphBuilder b;
    auto s = b.node(50.0, 8.0), t = b.node(50.001, 8.0), m = b.node(50.0005, 8.001);
    auto direct = b.edge(s, t, 120.0f);
    b.desc.edges[direct].toll = true;
    b.desc.edges[direct].country = 3;  // CH
    b.edge(s, m, 100.0f);
    b.edge(m, t, 100.0f);
    b.force_form(GetParam());
    auto g = b.open();
    auto plain = qr::find_route(g, s, t, car_fast(), 1000);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->path, (Path{s, t}));
    auto avoiding = car_fast().with_toll_overrides(std::vector<std::string>{"ch"}, std::nullopt, false);
    auto route = qr::find_route(g, s, t, avoiding, 1000);
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->path, (Path{s, m, t}));
}

TEST_P(EveryForm, EvRouteCostsTheSumOfItsEdges) {
    GraphBuilder b;
    auto s = b.node(50.000, 8.000), a = b.node(50.001, 8.000), t = b.node(50.002, 8.000);
    auto up = b.edge(s, a, 150.0f);
    b.desc.edges[up].has_elevation = true;
    b.desc.edges[up].elevation_from_m = 100.0f;
    b.desc.edges[up].elevation_to_m = 104.0f;
    auto fast = b.edge(a, t, 140.0f);
    b.desc.edges[fast].road_class = 0;  // motorway
    b.desc.edges[fast].maxspeed_kmh = 100;
    b.force_form(GetParam());
    auto g = b.open();
    auto ev = qr::RoutingProfile::by_name_with_config("ev-default", kVehicle);
    auto route = qr::find_route(g, s, t, ev, 1000);
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->path, (Path{s, a, t}));
    double expected = 0.0;
    for (std::uint32_t u = 0; u + 1 < route->path.size(); ++u) {
        auto range = *g.out_edges(route->path[u]);
        expected += ev.compute_cost_inline(*g.edge(range.begin_edge));
    }
    EXPECT_EQ(route->cost, expected);
    EXPECT_GT(ev.ev()->climb_wh(100.0f, 104.0f), 0.0f);
}

// ---- step budget ------------------------------------------------------------------------------------

TEST(StepBudget, BidirectionalWithOneStep) {
    GraphBuilder b;
    auto s = b.node(50.000, 8.0), a = b.node(50.001, 8.0), t = b.node(50.002, 8.0);
    b.road(s, a, 120.0f);
    b.road(a, t, 130.0f);
    auto g = b.open();

    // The end is a direct successor: the forward-only path of one edge.
    qr::RouteOutcome route;
    auto lines = qr::testing::capture_log_lines([&] { route = qr::find_route(g, s, a, car_short(), 1); });
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->path, (Path{s, a}));
    EXPECT_EQ(route->cost, 120.0);
    EXPECT_EQ(route->nodes_explored, 1u);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "INFO quorvel_routing::router: Route search hit step limit (1 steps)",
                         "INFO quorvel_routing::router: Forward search DID reach end node with cost=120.0, using "
                         "forward-only path"}));

    // Two edges away: the budget.
    lines = qr::testing::capture_log_lines([&] { route = qr::find_route(g, s, t, car_short(), 1); });
    EXPECT_EQ(route, std::unexpected(qr::RouteFindError::step_limit(1)));
    EXPECT_EQ(lines, (std::vector<std::string>{"INFO quorvel_routing::router: Route search hit step limit (1 steps)"}));

    // Start is the end: met at the first pop.
    lines = qr::testing::capture_log_lines([&] { route = qr::find_route(g, s, s, car_short(), 1); });
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->path, (Path{s}));

    // Pops: s forward, t backward, a forward (the frontiers meet at a). A budget of 3 ends the
    // loop before the stopping rule is checked, and the route found by then is returned.
    lines = qr::testing::capture_log_lines([&] { route = qr::find_route(g, s, t, car_short(), 3); });
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->path, (Path{s, a, t}));
    EXPECT_EQ(route->cost, 250.0);
    EXPECT_EQ(route->nodes_explored, 3u);
    EXPECT_EQ(lines, (std::vector<std::string>{"INFO quorvel_routing::router: Route search hit step limit (3 steps)"}));
    EXPECT_EQ(qr::find_route(g, s, t, car_short(), 2), std::unexpected(qr::RouteFindError::step_limit(2)));

    // Enough steps: no log line.
    lines = qr::testing::capture_log_lines([&] { route = qr::find_route(g, s, t, car_short(), 100); });
    ASSERT_TRUE(route.has_value());
    EXPECT_TRUE(lines.empty());
}

TEST(StepBudget, RestrictedFormsStopAtOnceWithoutLogLine) {
    for (SearchForm form : {SearchForm::PairRestricted, SearchForm::TripleRestricted}) {
        SCOPED_TRACE(form_name(form));
        GraphBuilder b;
        auto s = b.node(50.000, 8.0), a = b.node(50.001, 8.0), t = b.node(50.002, 8.0);
        b.road(s, a, 120.0f);
        b.road(a, t, 130.0f);
        b.force_form(form);
        auto g = b.open();
        qr::RouteOutcome route;
        auto lines = qr::testing::capture_log_lines([&] { route = qr::find_route(g, s, a, car_short(), 1); });
        EXPECT_EQ(route, std::unexpected(qr::RouteFindError::step_limit(1)));
        EXPECT_TRUE(lines.empty());
        EXPECT_EQ(qr::find_route(g, s, s, car_short(), 0), std::unexpected(qr::RouteFindError::step_limit(0)));
        route = qr::find_route(g, s, s, car_short(), 1);
        ASSERT_TRUE(route.has_value());
        EXPECT_EQ(route->nodes_explored, 1u);
        route = qr::find_route(g, s, t, car_short(), 3);
        ASSERT_TRUE(route.has_value());
        EXPECT_EQ(route->path, (Path{s, a, t}));
        EXPECT_EQ(route->nodes_explored, 3u);
    }
}

// ---- turn restrictions and the approach ----------------------------------------------------------

namespace {
// s (south) -> j; from j straight on north to t, or right (east) to k and north to t.
struct Junction {
    GraphBuilder b;
    std::uint32_t s, j, t, k, sj, jt;
    Junction() {
        s = b.node(49.999, 8.0);
        j = b.node(50.000, 8.0);
        t = b.node(50.001, 8.0);
        k = b.node(50.000, 8.001);
        sj = b.edge(s, j, 120.0f);
        jt = b.edge(j, t, 120.0f);
        b.edge(j, k, 80.0f);
        b.edge(k, t, 140.0f);
    }
};
}  // namespace

TEST(TurnRestrictions, PairAndTripleForbidTheStraightMove) {
    for (bool pair : {true, false}) {
        SCOPED_TRACE(pair ? "pair" : "triple");
        Junction x;
        if (pair) x.b.desc.restriction_pairs.push_back({x.sj, x.jt});
        else x.b.desc.osm_triples.push_back({x.b.osm(x.s), x.b.osm(x.j), x.b.osm(x.t)});
        auto g = x.b.open();
        auto route = qr::find_route(g, x.s, x.t, car_short(), 1000);
        ASSERT_TRUE(route.has_value());
        EXPECT_EQ(route->path, (Path{x.s, x.j, x.k, x.t}));
        EXPECT_EQ(route->cost, 340.0);

        // From j itself the restriction binds only when the vehicle is said to arrive from s.
        route = qr::find_route(g, x.j, x.t, car_short(), 1000);
        ASSERT_TRUE(route.has_value());
        EXPECT_EQ(route->path, (Path{x.j, x.t}));
        route = qr::find_route_with_approach(g, x.j, x.t, car_short(), 1000, x.b.osm(x.s));
        ASSERT_TRUE(route.has_value());
        EXPECT_EQ(route->path, (Path{x.j, x.k, x.t}));
        EXPECT_EQ(route->cost, 220.0);
    }
}

TEST(TurnRestrictions, ApproachWithoutIncomingEdgeStillMeetsTriples) {
    // Pair-restricted graph; the approach node 999 has no edge into j, yet (999, j, t) applies.
    Junction x;
    auto far_a = x.b.edge(x.t, x.k, 140.0f), far_b = x.b.edge(x.k, x.j, 80.0f);
    x.b.desc.restriction_pairs.push_back({far_a, far_b});
    x.b.desc.osm_triples.push_back({999, x.b.osm(x.j), x.b.osm(x.t)});
    auto g = x.b.open();
    ASSERT_EQ(qr::search_form_for(g), SearchForm::PairRestricted);
    auto route = qr::find_route_with_approach(g, x.j, x.t, car_short(), 1000, 999);
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->path, (Path{x.j, x.k, x.t}));
    route = qr::find_route_with_approach(g, x.j, x.t, car_short(), 1000, 12345);
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->path, (Path{x.j, x.t}));
}

TEST(TurnPenalty, Table) {
    struct Case {
        double in, out;
        std::uint32_t degree;
        double expected;
    };
    const std::vector<Case> cases = {
        {0, 180, 3, 500},    // reversal at a junction of three
        {0, 180, 1, 0},      // dead end: nothing
        {0, 180, 2, 0},      // reversal needs three out-edges
        {90, 270, 4, 500},
        {0, 225, 3, 125},    // left turn of 135 degrees
        {10, 235, 2, 125},
        {0, 270, 3, 0},      // left turn of exactly 90 degrees
        {0, 90, 3, 0},       // right turns cost nothing
        {0, 135, 3, 0},
        {0, 170, 3, 500},    // a right turn of 170 degrees counts as a reversal
        {350, 10, 3, 0},     // straight on across north
        {0, 200, 3, 500 + (160.0 - 90) / 90 * (160.0 - 90) / 90 * 500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("{} -> {} degree {}", c.in, c.out, c.degree));
        EXPECT_NEAR(qr::turn_penalty(c.in, c.out, c.degree), c.expected, 1e-9);
    }
    EXPECT_NEAR(qr::initial_bearing_deg(50, 8, 50.001, 8), 0.0, 1e-9);
    EXPECT_NEAR(qr::initial_bearing_deg(50.001, 8, 50, 8), 180.0, 1e-9);
    EXPECT_NEAR(qr::initial_bearing_deg(0, 0, 0, 1), 90.0, 1e-9);
}

TEST(TurnPenalty, OnTheGraphWithAnApproach) {
    // j has four out-edges: back south to s, north to n, west to w and south-west to sw. The
    // vehicle arrives from s (heading north).
    GraphBuilder b;
    auto s = b.node(49.999, 8.0), j = b.node(50.000, 8.0), n = b.node(50.001, 8.0), w = b.node(50.000, 7.999);
    const double dlat = 0.001, dlon = 0.001 / std::cos(50.0 * qr::kDegToRad);  // bearing 225
    auto sw = b.node(50.000 - dlat, 8.0 - dlon);
    auto dead = b.node(49.998, 8.0);
    auto sj = b.edge(s, j, 120.0f);
    b.edge(j, s, 120.0f);
    b.edge(j, n, 120.0f);
    b.edge(j, w, 80.0f);
    b.edge(j, sw, 150.0f);
    b.road(dead, s, 120.0f);  // s -> dead is a dead end (dead has one out-edge)
    auto ns = b.edge(n, s, 1000.0f);
    b.desc.restriction_pairs.push_back({ns, sj});  // unrelated to the moves below
    auto g = b.open();
    ASSERT_EQ(qr::search_form_for(g), SearchForm::PairRestricted);
    const auto from_s = b.osm(s);

    auto u_turn = qr::find_route_with_approach(g, j, s, car_short(), 1000, from_s);
    ASSERT_TRUE(u_turn.has_value());
    EXPECT_EQ(u_turn->path, (Path{j, s}));
    EXPECT_EQ(u_turn->cost, 620.0);  // 120 m + 500
    auto no_approach = qr::find_route(g, j, s, car_short(), 1000);
    ASSERT_TRUE(no_approach.has_value());
    EXPECT_EQ(no_approach->cost, 120.0);

    auto left_135 = qr::find_route_with_approach(g, j, sw, car_short(), 1000, from_s);
    ASSERT_TRUE(left_135.has_value());
    EXPECT_EQ(left_135->path, (Path{j, sw}));
    EXPECT_NEAR(left_135->cost, 150.0 + 125.0, 0.5);
    // Exactly the penalty of the bearings of the stored (32-bit) coordinates.
    auto cs = g.node_coord(s), cj = g.node_coord(j), csw = g.node_coord(sw);
    EXPECT_EQ(left_135->cost, 150.0 + qr::turn_penalty(qr::initial_bearing_deg(cs.lat, cs.lon, cj.lat, cj.lon),
                                                       qr::initial_bearing_deg(cj.lat, cj.lon, csw.lat, csw.lon), 4));

    auto left_90 = qr::find_route_with_approach(g, j, w, car_short(), 1000, from_s);
    ASSERT_TRUE(left_90.has_value());
    EXPECT_EQ(left_90->cost, 80.0);
    auto straight = qr::find_route_with_approach(g, j, n, car_short(), 1000, from_s);
    ASSERT_TRUE(straight.has_value());
    EXPECT_EQ(straight->cost, 120.0);

    // Turning back at a dead end of out-degree 1 costs nothing: dead -> s -> ... arriving at
    // dead from s and leaving back to s.
    auto back = qr::find_route_with_approach(g, dead, s, car_short(), 1000, from_s);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->path, (Path{dead, s}));
    EXPECT_EQ(back->cost, 120.0);
}

TEST(PrivateIsland, CapAtTenThousandNodes) {
    GraphBuilder b;
    b.desc.cell_size_deg = 0.1f;
    std::uint32_t prev = b.node(50.0, 8.0);
    for (int i = 1; i < 10010; ++i) {
        std::uint32_t next = b.node(50.0 + 0.00001 * i, 8.0);
        b.edge(prev, next, 1.2f, 1);
        prev = next;
    }
    auto g = b.open();
    auto island = qr::private_island_from(g, 0);
    ASSERT_TRUE(island.has_value());
    EXPECT_EQ(island->size(), qr::kPrivateIslandCap);
    EXPECT_TRUE(island->contains(9999));
    EXPECT_FALSE(island->contains(10000));
}

TEST(AccessPenalty, Table) {
    struct Case {
        std::uint8_t access_class;
        bool terminus;
        std::optional<double> penalty;
    };
    const std::vector<Case> cases = {
        {0, false, 0.0}, {0, true, 0.0},  {1, false, 90.0},         {2, false, 90.0},         {3, false, 90.0},
        {1, true, 0.0},  {3, true, 0.0},  {4, true, 0.0},           {4, false, std::nullopt}, {5, true, std::nullopt},
        {6, false, std::nullopt},         {7, true, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("class {} terminus {}", c.access_class, c.terminus));
        EXPECT_EQ(qr::access_penalty(c.access_class, 10.0f, c.terminus), c.penalty);
    }
    qr::PrivateIsland start{1, 2}, end{9};
    EXPECT_TRUE(qr::edge_is_terminus(start, end, 2, 5));
    EXPECT_TRUE(qr::edge_is_terminus(start, end, 5, 9));
    EXPECT_TRUE(qr::edge_is_terminus(start, end, 9, 5));
    EXPECT_FALSE(qr::edge_is_terminus(start, end, 5, 6));
}

TEST(RouteInput, NodeOutsideTheGraph) {
    GraphBuilder b;
    auto s = b.node(50.0, 8.0), t = b.node(50.001, 8.0);
    b.road(s, t, 120.0f);
    auto g = b.open();
    auto route = qr::find_route(g, s, 7, car_short(), 1000);
    ASSERT_FALSE(route.has_value());
    EXPECT_EQ(route.error().kind, qr::RouteFindError::Kind::GraphError);
    EXPECT_EQ(route.error().display(), "Route search failed on a corrupt graph file: Node index 7 is outside the graph (2 nodes)");
}

TEST_P(EveryForm, AllocationsDoNotGrowWithRelaxations) {
    // A 40 x 40 grid of two-way residential roads, searched corner to corner.
    GraphBuilder b;
    b.desc.cell_size_deg = 0.005f;
    const std::uint32_t side = 40;
    for (std::uint32_t r = 0; r < side; ++r)
        for (std::uint32_t c = 0; c < side; ++c) b.node(50.0 + 0.001 * r, 8.0 + 0.0015 * c);
    for (std::uint32_t r = 0; r < side; ++r)
        for (std::uint32_t c = 0; c < side; ++c) {
            if (c + 1 < side) b.road(r * side + c, r * side + c + 1, 120.0f);
            if (r + 1 < side) b.road(r * side + c, (r + 1) * side + c, 120.0f);
        }
    b.force_form(GetParam());
    auto g = b.open();
    for (const char* name : {"car-fast", "car-short", "ev-default"}) {
        SCOPED_TRACE(name);
        auto profile = qr::RoutingProfile::by_name_with_config(name, kVehicle);
        const std::uint64_t before = g_allocations;
        auto route = qr::find_route(g, 0, side * side - 1, profile, 1000000);
        const std::uint64_t allocations = g_allocations - before;
        ASSERT_TRUE(route.has_value());
        EXPECT_GT(route->nodes_explored, 500u);
        // Per-call arrays, islands, queue and map growth and the path: a few dozen at most,
        // against thousands of relaxations.
        EXPECT_LT(allocations, 64u) << "explored " << route->nodes_explored;
    }
    if (GetParam() != SearchForm::Bidirectional) {
        // The counter does see per-state allocations: std::unordered_map allocates a node for
        // every state it records (one reason the searches use the flat map).
        const std::uint64_t before = g_allocations;
        auto route = qr::detail::find_route_with_state_map(g, 0, side * side - 1, car_fast(), 1000000, std::nullopt,
                                                           qr::detail::StateMapKind::StdUnordered);
        ASSERT_TRUE(route.has_value());
        EXPECT_GT(g_allocations - before, 1000u);
    }
}
