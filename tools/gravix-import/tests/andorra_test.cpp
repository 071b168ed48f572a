// The real Andorra extract with its SRTM tile: the network is one piece, the tunnels tagged
// access=no + motor_vehicle=yes are open to cars, and the Envalira toll tunnel runs at the
// height of its portals, not of the mountain above it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "network.hpp"

namespace qr = quorvel_routing;
using namespace gravix_import;

namespace {

TEST(Andorra, ImportsAsOneNetworkWithOpenTunnels) {
    const std::string data = QR_SHARED_DATA_DIR;
    if (!std::filesystem::exists(data + "/andorra-2025-01-19.osm.pbf")) GTEST_SKIP() << "no Andorra extract";
    ExtractOptions options;
    options.input_path = data + "/andorra-2025-01-19.osm.pbf";
    options.dem_dir = data + "/srtm";
    auto net = extract_network(options);
    ASSERT_TRUE(net.has_value()) << qr::render_error_report(net.error());

    EXPECT_GT(net->nodes.size(), 30000u);
    EXPECT_GT(net->edges.size(), 60000u);
    EXPECT_GT(net->stats.main_component_nodes, net->nodes.size() * 98 / 100);
    EXPECT_EQ(net->stats.restrictions_read, 76u);
    EXPECT_GT(net->restriction_pairs.size(), 60u);
    EXPECT_EQ(net->stats.boundaries, 1u);  // Andorra's; Spain's and France's do not close here

    // Ways by their tags in this extract.
    struct Expect {
        std::int64_t way_id;
        std::uint8_t access_class;
        const char* tags;
    };
    const Expect expected[] = {
        {24364513, 0, "Tunel del Pont Pla: access=no motor_vehicle=yes"},
        {759156586, 0, "Tunel del Pont Pla: access=no motor_vehicle=yes"},
        {1028165722, 0, "Tunel del Pont Pla: access=no motor_vehicle=yes"},
        {664719121, 0, "Passeig de l'Alguer: access=no motor_vehicle=designated"},
        {1005493675, 4, "Pista privada: access=no motor_vehicle=private"},
        {6176755, 0, "Tunel d'Envalira: access=yes toll=yes"},
    };
    for (const Expect& x : expected) {
        auto way = std::find_if(net->ways.begin(), net->ways.end(), [&](const RoadWay& w) { return w.osm_id == x.way_id; });
        ASSERT_NE(way, net->ways.end()) << x.tags;
        EXPECT_EQ(way->access_class, x.access_class) << x.tags;
    }

    // The toll roads: the Envalira tunnel and its approaches.
    std::size_t toll_edges = 0;
    double highest_toll_m = 0;
    for (const auto& e : net->edges) {
        const RoadWay& way = net->ways[e.way];
        if (!way.toll) continue;
        ++toll_edges;
        EXPECT_EQ(e.access_class, 0) << "way " << way.osm_id;
        EXPECT_EQ(net->country_codes[e.country_code], "AD") << "way " << way.osm_id;
        highest_toll_m = std::max({highest_toll_m, *net->nodes[e.from].elevation_m, *net->nodes[e.to].elevation_m});
    }
    EXPECT_GT(toll_edges, 20u);
    // The pass above the tunnel reaches 2400 m; the tunnel itself stays near 2100 m.
    EXPECT_LT(highest_toll_m, 2200.0);
    EXPECT_GT(highest_toll_m, 1900.0);
    for (const auto& n : net->nodes) {
        ASSERT_TRUE(n.elevation_m.has_value());
        EXPECT_GT(*n.elevation_m, 500.0);
        EXPECT_LT(*n.elevation_m, 3000.0);
    }
}

}  // namespace
