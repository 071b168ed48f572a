// Nearest-node and radius search over the graph file's cell grid.

#include "graph_fixtures.hpp"
#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/spatial.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cmath>
#include <random>

namespace quorvel_routing {
namespace {

using testing::write_temp_graph;

double great_circle_m(double lat1, double lon1, double lat2, double lon2) { return haversine_m(lat1, lon1, lat2, lon2); }

// Longitude `metres` east of (lat, lon) along the parallel (negative: west).
double lon_east(double lat, double lon, double metres) {
    return lon + metres / (6371000.0 * std::cos(lat * 0.017453292519943295)) / 0.017453292519943295;
}

const auto kAny = [](std::uint32_t) { return true; };

MappedGraph open(const testing::TempGraphFile& file) {
    auto g = MappedGraph::open(file.path());
    EXPECT_TRUE(g) << (g ? "" : g.error().message);
    return std::move(*g);
}

std::string node_line(double lat, double lon) { return fmt::format("node {:.9f} {:.9f}\n", lat, lon); }

TEST(GraphNearest, NeighbourBehindTheNearerSideIsScannedFirst) {
    // Query 30 m west of the eastern side of its cell; a node 40 m west in the same cell, and one
    // 35 m east in the neighbouring cell (or 45 m east, then the first one wins).
    const double lat = 47.015;
    const double q_lon = lon_east(lat, 8.02, -30.0);
    for (const double east_m : {35.0, 45.0}) {
        auto file = write_temp_graph("cell 0.01\ngrid 47 8 3 3\n" + node_line(lat, lon_east(lat, q_lon, -40.0)) +
                                     node_line(lat, lon_east(lat, q_lon, east_m)));
        auto g = open(file);
        ASSERT_EQ(g.query_cell(lat, q_lon), (std::optional<GridCell>(GridCell{1, 1})));
        ASSERT_EQ(g.query_cell(g.node_coord(1).lat, g.node_coord(1).lon), (std::optional<GridCell>(GridCell{1, 2})));
        const double side = dist_query_inside_cell_to_boundary_m(lat, q_lon, g.cell_bounds(1, 1));
        ASSERT_NEAR(side, 30.0, 0.5);

        auto found = g.find_nearest(lat, q_lon, 1000.0, kAny);
        ASSERT_TRUE(found);
        ASSERT_TRUE(found->has_value());
        const std::uint32_t expected = east_m < 40.0 ? 1 : 0;
        EXPECT_EQ((*found)->node, expected) << east_m;
        const NodeCoord c = g.node_coord(expected);
        EXPECT_EQ((*found)->distance_m, great_circle_m(lat, q_lon, c.lat, c.lon));
        EXPECT_NEAR((*found)->distance_m, std::min(east_m, 40.0), 0.2);
    }
}

TEST(GraphNearest, GridEdgesAndPointsOutside) {
    auto file = write_temp_graph("cell 0.01\ngrid 47 8 2 2\nnode 47.005 8.005\nnode 47.015 8.015\n");
    auto g = open(file);
    const double west_hair = std::nextafter(8.0f, 0.0f);
    const struct {
        const char* name;
        double lat, lon;
        bool inside;
    } cases[] = {
        {"on the western edge", 47.005, 8.0, true},
        {"on the southern edge", 47.0, 8.005, true},
        {"a hair west", 47.005, west_hair, false},
        {"a hair south", std::nextafter(47.0f, 0.0f), 8.005, false},
        {"east of the last column", 47.005, 8.0201, false},
        {"north of the last row", 47.0201, 8.005, false},
    };
    for (const auto& c : cases) {
        auto nearest = g.find_nearest(c.lat, c.lon, 1e12, kAny);
        auto within = g.find_within(c.lat, c.lon, 1e12, kAny);
        ASSERT_TRUE(nearest && within) << c.name;
        EXPECT_EQ(nearest->has_value(), c.inside) << c.name;
        EXPECT_EQ(within->size(), c.inside ? 2u : 0u) << c.name;
    }
    EXPECT_EQ(g.query_cell(47.005, 8.0), (std::optional<GridCell>(GridCell{0, 0})));
}

TEST(GraphNearest, EqualDistancesKeepTheCellListOrder) {
    auto file = write_temp_graph("cell 0.01\nnode 47.003 8.003\nnode 47.003 8.003\nnode 47.004 8.003\n");
    auto g = open(file);
    auto nearest = g.find_nearest(47.0031, 8.0031, 500.0, kAny);
    ASSERT_TRUE(nearest && nearest->has_value());
    EXPECT_EQ((*nearest)->node, 0u);
    auto within = g.find_within(47.0031, 8.0031, 500.0, kAny);
    ASSERT_TRUE(within);
    ASSERT_EQ(within->size(), 3u);
    EXPECT_EQ((*within)[0].node, 0u);
    EXPECT_EQ((*within)[1].node, 1u);
    EXPECT_EQ((*within)[2].node, 2u);
    EXPECT_EQ((*within)[0].distance_m, (*within)[1].distance_m);
}

TEST(GraphNearest, RadiusZeroFindsOnlyNodesOnThePoint) {
    auto file = write_temp_graph("cell 0.01\nnode 47.003 8.003\nnode 47.00301 8.003\nnode 47.003 8.003\n");
    auto g = open(file);
    const NodeCoord c = g.node_coord(0);
    auto within = g.find_within(c.lat, c.lon, 0.0, kAny);
    ASSERT_TRUE(within);
    EXPECT_EQ(*within, (std::vector<NearestNode>{{0, 0.0}, {2, 0.0}}));
    auto nearest = g.find_nearest(c.lat, c.lon, 0.0, kAny);
    ASSERT_TRUE(nearest);
    EXPECT_EQ(*nearest, (std::optional<NearestNode>(NearestNode{0, 0.0})));
}

TEST(GraphNearest, TestAndDistanceLimitAreRespected) {
    auto file = write_temp_graph(R"(
        cell 0.01
        node 47.0050 8.0050
        node 47.0052 8.0050
        node 47.0150 8.0050
        both 1 2 1200
    )");
    auto g = open(file);
    const auto not_zero = [](std::uint32_t v) { return v != 0; };
    auto nearest = g.find_nearest(47.005, 8.005, 5000.0, not_zero);
    ASSERT_TRUE(nearest && nearest->has_value());
    EXPECT_EQ((*nearest)->node, 1u);

    // Only nodes 1 and 2 are routable (node 0 has no edges).
    const auto routable = [&g](std::uint32_t v) { return g.is_routable(v); };
    auto snapped = g.find_within(47.005, 8.005, 5000.0, routable);
    ASSERT_TRUE(snapped);
    ASSERT_EQ(snapped->size(), 2u);
    EXPECT_EQ((*snapped)[0].node, 1u);
    EXPECT_EQ((*snapped)[1].node, 2u);

    const double d1 = great_circle_m(47.005, 8.005, g.node_coord(1).lat, g.node_coord(1).lon);
    auto limited = g.find_nearest(47.005, 8.005, d1 - 0.01, not_zero);
    ASSERT_TRUE(limited);
    EXPECT_FALSE(limited->has_value());
    auto exact = g.find_nearest(47.005, 8.005, d1, not_zero);
    ASSERT_TRUE(exact && exact->has_value());
    EXPECT_EQ((*exact)->node, 1u);
    auto none = g.find_nearest(47.005, 8.005, 1e9, [](std::uint32_t) { return false; });
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->has_value());
}

TEST(GraphNearest, AgreesWithAFullScan) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> lat(46.0, 46.19), lon(9.0, 9.29);
    std::string text = "cell 0.02\ngrid 46 9 10 15\n";
    for (int i = 0; i < 400; ++i) text += node_line(lat(rng), lon(rng));
    auto file = write_temp_graph(text);
    auto g = open(file);
    const auto odd = [](std::uint32_t v) { return v % 2 == 1; };
    for (int q = 0; q < 300; ++q) {
        const double qlat = lat(rng);
        const double qlon = lon(rng);
        const double max_m = q % 3 == 0 ? 1e9 : 1500.0;
        std::optional<NearestNode> best;
        std::vector<NearestNode> all;
        for (std::uint32_t v = 0; v < g.node_count(); ++v) {
            if (!odd(v)) continue;
            const double d = great_circle_m(qlat, qlon, g.node_coord(v).lat, g.node_coord(v).lon);
            if (d <= max_m) all.push_back({v, d});
            if (d <= max_m && (!best || d < best->distance_m)) best = NearestNode{v, d};
        }
        auto nearest = g.find_nearest(qlat, qlon, max_m, odd);
        ASSERT_TRUE(nearest);
        ASSERT_EQ(nearest->has_value(), best.has_value()) << q;
        if (best) {
            EXPECT_EQ((*nearest)->node, best->node) << q;
            EXPECT_EQ((*nearest)->distance_m, best->distance_m) << q;
        }
        auto within = g.find_within(qlat, qlon, std::min(max_m, 3000.0), odd);
        ASSERT_TRUE(within);
        std::erase_if(all, [&](const NearestNode& n) { return n.distance_m > std::min(max_m, 3000.0); });
        std::stable_sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.distance_m < b.distance_m; });
        ASSERT_EQ(within->size(), all.size()) << q;
        for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ((*within)[i].node, all[i].node) << q;
    }
}

TEST(GraphNearest, CellQueueOrder) {
    const CellLb a{10.0, 2, 3};
    EXPECT_LT(a, (CellLb{11.0, 0, 0}));
    EXPECT_LT(a, (CellLb{10.0, 3, 0}));
    EXPECT_LT(a, (CellLb{10.0, 2, 4}));
    EXPECT_LT((CellLb{-0.0, 9, 9}), (CellLb{0.0, 0, 0}));  // total order: -0 before +0
    EXPECT_LT((CellLb{1e300, 0, 0}), (CellLb{std::numeric_limits<double>::quiet_NaN(), 0, 0}));
}

}  // namespace
}  // namespace quorvel_routing
