// Extraction of the small fixture (tests/data/small.osm) and the graph file written from it,
// read back with MappedGraph.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cmath>
#include <fstream>

#include "graph_fixtures.hpp"
#include "network.hpp"
#include "outputs.hpp"
#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/spatial.hpp"

namespace qr = quorvel_routing;
using namespace gravix_import;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const std::string kSmall = std::string(GI_TEST_DATA_DIR) + "/small.osm";

RoadNetwork extract_small(std::optional<std::string> dem = std::nullopt) {
    ExtractOptions options;
    options.input_path = kSmall;
    options.default_country = "FR";
    options.dem_dir = std::move(dem);
    auto net = extract_network(options);
    if (!net) ADD_FAILURE() << qr::render_error_report(net.error());
    return net ? std::move(*net) : RoadNetwork{};
}

// One line per edge: "from>to way class access toll speed country".
std::string edge_line(const RoadNetwork& net, const RoadEdge& e) {
    const RoadWay& w = net.ways[e.way];
    return fmt::format("{}>{} w{} {} a{} {} {} {}", net.nodes[e.from].osm_id, net.nodes[e.to].osm_id, w.osm_id,
                       w.highway, w.access_class, w.toll ? "toll" : "-",
                       e.maxspeed_kmh ? std::to_string(*e.maxspeed_kmh) : "-", net.country_codes[e.country_code]);
}

// The expected edges in file order: grouped by source node (OSM id order), then way order.
const std::vector<std::string> kEdges = {
    "1>2 w100 primary a0 - 50 AD",
    "2>1 w100 primary a0 - 50 AD",
    "2>3 w100 primary a0 - 50 AD",
    "2>11 w108 road a6 - - AD",
    "3>2 w100 primary a0 - 50 AD",
    "3>4 w101 secondary a0 - 48 AD",
    "3>7 w104 tertiary a0 - - AD",
    "4>5 w102 motorway a0 toll 120 AD",
    "6>5 w103 residential a0 - 50 AD",
    "6>7 w109 living_street a5 - - AD",
    "7>3 w104 tertiary a0 - - AD",
    "7>8 w105 service a4 - - FR",
    "7>6 w109 living_street a5 - - AD",
    "8>7 w105 service a4 - - FR",
    "8>9 w106 unclassified a1 - - FR",
    "9>8 w106 unclassified a1 - - FR",
    "11>2 w108 road a6 - - AD",
};

class SmallFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { net_ = new RoadNetwork(extract_small()); }
    static void TearDownTestSuite() {
        delete net_;
        net_ = nullptr;
    }
    static const RoadNetwork& net() { return *net_; }
    static RoadNetwork* net_;
};
RoadNetwork* SmallFixture::net_ = nullptr;

TEST_F(SmallFixture, RoadNodesOnlyInIdOrder) {
    // Node 10 lies only on a track, the reversible way 111 is left out, the footway too.
    std::vector<std::int64_t> ids;
    for (const auto& n : net().nodes) ids.push_back(n.osm_id);
    EXPECT_THAT(ids, ElementsAre(1, 2, 3, 4, 5, 6, 7, 8, 9, 11));
    EXPECT_EQ(net().stats.closed_ways_skipped, 1u);
    EXPECT_DOUBLE_EQ(net().nodes[2].lat, 42.502);
    EXPECT_DOUBLE_EQ(net().nodes[2].lon, 1.5);
    EXPECT_FALSE(net().has_elevation);
}

TEST_F(SmallFixture, EdgesCarryDirectionClassSpeedTollAccessAndCountry) {
    std::vector<std::string> lines;
    for (const auto& e : net().edges) lines.push_back(edge_line(net(), e));
    EXPECT_THAT(lines, ElementsAreArray(kEdges));
    for (const auto& e : net().edges) {
        const auto& a = net().nodes[e.from];
        const auto& b = net().nodes[e.to];
        EXPECT_DOUBLE_EQ(e.length_m, qr::haversine_m(a.lat, a.lon, b.lat, b.lon));
    }
}

TEST_F(SmallFixture, RestrictionsBecomeEdgePairsAndNodeTriples) {
    // no_left_turn 100 -> 104 at node 3: (2>3, 3>7). only_straight_on 104 -> 100 at node 3:
    // everything but 3>2 is banned after 7>3, i.e. 3>4 and the turn back 3>7. Relation 202
    // (via a way) and 203 (except motorcar) are skipped.
    std::vector<std::string> pairs;
    for (const auto& p : net().restriction_pairs) {
        const auto& f = net().edges[p.from_edge];
        const auto& t = net().edges[p.to_edge];
        pairs.push_back(fmt::format("{}>{} then {}>{}", net().nodes[f.from].osm_id, net().nodes[f.to].osm_id,
                                    net().nodes[t.from].osm_id, net().nodes[t.to].osm_id));
    }
    EXPECT_THAT(pairs, ElementsAre("2>3 then 3>7", "7>3 then 3>4", "7>3 then 3>7"));
    EXPECT_THAT(net().restriction_triples,
                ElementsAre(NodeTriple{2, 3, 7}, NodeTriple{7, 3, 4}, NodeTriple{7, 3, 7}));
    EXPECT_EQ(net().stats.restrictions_read, 4u);
    EXPECT_EQ(net().stats.restrictions_used, 2u);
    EXPECT_EQ(net().stats.restrictions_skipped, 2u);
}

TEST_F(SmallFixture, MainComponentIgnoresRoadsClosedToCars) {
    // 1-2-3-7-8-9 are mutually reachable over roads of class 0 to 4; 4, 5, 6 hang off one-way
    // streets, 11 is reachable only over the agricultural road.
    std::vector<std::int64_t> in_main;
    for (std::size_t i = 0; i < net().nodes.size(); ++i)
        if (net().main_component[i]) in_main.push_back(net().nodes[i].osm_id);
    EXPECT_THAT(in_main, ElementsAre(1, 2, 3, 7, 8, 9));
    EXPECT_EQ(net().stats.main_component_nodes, 6u);
}

TEST_F(SmallFixture, ChargingStationsFromPointsAndAreas) {
    ASSERT_EQ(net().stations.size(), 2u);
    const Station& point = net().stations[0];
    EXPECT_EQ(point.id, 20);
    EXPECT_EQ(point.osm_type, 'n');
    EXPECT_EQ(point.power_kw, 50.0);
    EXPECT_EQ(point.plug_types, "Type2,CCS");
    EXPECT_EQ(point.operator_name, "FEDA");
    EXPECT_EQ(point.network, "FEDA Ecomobilitat");
    EXPECT_EQ(point.capacity, 3);
    EXPECT_TRUE(point.is_fast_ac);
    EXPECT_TRUE(point.is_fast_dc);
    const Station& area = net().stations[1];
    EXPECT_EQ(area.id, 500);
    EXPECT_EQ(area.osm_type, 'w');
    EXPECT_NEAR(area.lat, 42.5002, 1e-9);
    EXPECT_NEAR(area.lon, 1.5012, 1e-9);
    EXPECT_EQ(area.power_kw, 11.0);
    EXPECT_EQ(area.plug_types, "Type2");
    EXPECT_FALSE(area.is_fast_ac);
    EXPECT_FALSE(area.is_fast_dc);
}

TEST_F(SmallFixture, AddressesAndPlaces) {
    std::vector<std::string> lines;
    auto o = [](const std::optional<std::string>& s) { return s.value_or("-"); };
    for (const auto& p : net().places)
        lines.push_back(fmt::format("{}{} {} | {} {} | {} {} | {} | {} | {}", p.osm_type, p.osm_id, o(p.name),
                                    o(p.street), o(p.housenumber), o(p.postcode), o(p.city), o(p.category),
                                    o(p.operator_name), o(p.country)));
    EXPECT_THAT(lines, ElementsAre("n20 - | - - | - - | charging_station | FEDA | AD",
                                   "n21 Forn Test | Carrer Major 5 | AD500 Andorra la Vella | bakery | - | AD",
                                   "n22 Testville | - - | - Testville | town | - | AD",
                                   "w500 - | - - | - - | charging_station | - | AD"));
}

TEST_F(SmallFixture, GraphFileReadsBackExactly) {
    qr::testing::TempDir dir;
    const auto path = dir.file("small.bin");
    auto layout = write_graph(net(), {path, 7, 0.01f});
    ASSERT_TRUE(layout.has_value()) << qr::render_error_report(layout.error());
    auto graph = qr::MappedGraph::open(path);
    ASSERT_TRUE(graph.has_value()) << qr::render_error_report(graph.error());
    ASSERT_EQ(graph->node_count(), 10u);
    ASSERT_EQ(graph->edge_count(), 17u);
    EXPECT_EQ(graph->version(), 7u);
    EXPECT_FLOAT_EQ(graph->node_coord(2).lat, 42.502f);
    EXPECT_FLOAT_EQ(graph->node_coord(2).lon, 1.5f);

    // The same edges as extracted, in the same order, with every field as the file stores it.
    std::vector<std::string> lines;
    for (std::uint32_t n = 0; n < graph->node_count(); ++n) {
        auto range = graph->out_edges(n);
        ASSERT_TRUE(range.has_value());
        for (std::uint32_t e : *range) {
            auto edge = graph->edge(e);
            ASSERT_TRUE(edge.has_value());
            const RoadEdge& source = net().edges[e];
            const RoadWay& way = net().ways[source.way];
            EXPECT_EQ(n, source.from);
            EXPECT_EQ(edge->target, source.to);
            EXPECT_FLOAT_EQ(edge->length_m, static_cast<float>(std::round(source.length_m * 10.0) / 10.0));
            EXPECT_EQ(edge->ext_bytes_18, static_cast<std::uint64_t>(way.osm_id));
            lines.push_back(fmt::format("{}>{} class={} a{} toll={} speed={} country={}", graph->node_osm_id(n),
                                        graph->node_osm_id(edge->target), edge->road_class.value_or("none"),
                                        edge->access_class, edge->toll, edge->maxspeed_kmh,
                                        edge->country.value_or("none")));
            EXPECT_FALSE(edge->has_elevation);
        }
    }
    EXPECT_THAT(lines, ElementsAre("1>2 class=primary a0 toll=false speed=50 country=AD",
                                   "2>1 class=primary a0 toll=false speed=50 country=AD",
                                   "2>3 class=primary a0 toll=false speed=50 country=AD",
                                   "2>11 class=none a6 toll=false speed=0 country=AD",
                                   "3>2 class=primary a0 toll=false speed=50 country=AD",
                                   "3>4 class=secondary a0 toll=false speed=48 country=AD",
                                   "3>7 class=tertiary a0 toll=false speed=0 country=AD",
                                   "4>5 class=motorway a0 toll=true speed=120 country=AD",
                                   "6>5 class=residential a0 toll=false speed=50 country=AD",
                                   "6>7 class=living_street a5 toll=false speed=0 country=AD",
                                   "7>3 class=tertiary a0 toll=false speed=0 country=AD",
                                   "7>8 class=service a4 toll=false speed=0 country=FR",
                                   "7>6 class=living_street a5 toll=false speed=0 country=AD",
                                   "8>7 class=service a4 toll=false speed=0 country=FR",
                                   "8>9 class=unclassified a1 toll=false speed=0 country=FR",
                                   "9>8 class=unclassified a1 toll=false speed=0 country=FR",
                                   "11>2 class=none a6 toll=false speed=0 country=AD"));

    EXPECT_THAT(graph->restriction_pairs(),
                ElementsAre(qr::RestrictionPair{2, 6}, qr::RestrictionPair{10, 5}, qr::RestrictionPair{10, 6}));
    EXPECT_THAT(graph->osm_triples(), ElementsAre(qr::OsmTriple{2, 3, 7}, qr::OsmTriple{7, 3, 4}, qr::OsmTriple{7, 3, 7}));
    EXPECT_TRUE(graph->reverse_csr_is_mapped());
    EXPECT_TRUE(graph->main_component_is_mapped());
    EXPECT_EQ(graph->main_component_count(), 6u);
    for (std::uint32_t n = 0; n < graph->node_count(); ++n)
        EXPECT_EQ(graph->in_main_component(n), net().main_component[n] == 1) << "node " << graph->node_osm_id(n);
    // Road refs and names travel in TREF and TNAM; TDST and TJXR are empty.
    auto tref = graph->string_pool(qr::StringPoolKind::Tref);
    auto tnam = graph->string_pool(qr::StringPoolKind::Tnam);
    auto tdst = graph->string_pool(qr::StringPoolKind::Tdst);
    auto tjxr = graph->string_pool(qr::StringPoolKind::Tjxr);
    ASSERT_TRUE(tref && tnam && tdst && tjxr);
    EXPECT_EQ(tref->entry_count, 1u);
    EXPECT_EQ(tnam->entry_count, 1u);
    EXPECT_EQ(tdst->entry_count, 0u);
    EXPECT_EQ(tjxr->entry_count, 0u);
    EXPECT_EQ(tjxr->end, graph->file_size());
    auto first = graph->edge(0);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->ext_word_14, 1u);  // CG-1
    EXPECT_EQ(first->ext_word_26, 1u);  // Carrer Major
}

TEST_F(SmallFixture, EveryVersionOpensWithTheSameEdgesAndItsSections) {
    struct Case {
        std::uint32_t version;
        std::size_t pairs;  // restrictions exist from version 3 on
        bool mapped_reverse;
        bool mapped_component;
    };
    for (const Case& c : {Case{1, 0, false, false}, Case{2, 0, false, false}, Case{3, 3, false, false},
                          Case{4, 3, true, false}, Case{5, 3, true, true}, Case{6, 3, true, true},
                          Case{7, 3, true, true}}) {
        SCOPED_TRACE(fmt::format("version {}", c.version));
        qr::testing::TempDir dir;
        const auto path = dir.file("g.bin");
        auto layout = write_graph(net(), {path, c.version, 0.005f});
        ASSERT_TRUE(layout.has_value()) << qr::render_error_report(layout.error());
        auto graph = qr::MappedGraph::open(path);
        ASSERT_TRUE(graph.has_value()) << qr::render_error_report(graph.error());
        EXPECT_EQ(graph->version(), c.version);
        EXPECT_EQ(graph->edge_count(), 17u);
        EXPECT_FLOAT_EQ(graph->cell_size_deg(), 0.005f);
        EXPECT_EQ(graph->restriction_pairs().size(), c.pairs);
        EXPECT_EQ(graph->reverse_csr_is_mapped(), c.mapped_reverse);
        EXPECT_EQ(graph->main_component_is_mapped(), c.mapped_component);
        auto edge = graph->edge(7);
        ASSERT_TRUE(edge.has_value());
        EXPECT_EQ(edge->road_class, "motorway");
        EXPECT_TRUE(edge->toll);
    }
}

TEST_F(SmallFixture, FailedGraphWriteLeavesTheOldFile) {
    qr::testing::TempDir dir;
    const auto path = dir.file("keep.bin");
    { std::ofstream(path) << "old"; }
    auto layout = write_graph(net(), {path, 8, 0.01f});
    ASSERT_FALSE(layout.has_value());
    EXPECT_EQ(layout.error().message, "Unsupported graph format version: 8 (expected 1\u20137)");
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);

    // The fixture spans 0.004 degrees of latitude and 0.002 of longitude.
    auto huge_grid = write_graph(net(), {path, 7, 0.0000001f});
    ASSERT_FALSE(huge_grid.has_value());
    EXPECT_EQ(huge_grid.error().message,
              "A cell size of 0.00000010000000116860974 degrees gives a grid of 40000 x 20000 cells over the roads "
              "(at most 67108864); choose a larger --cell-size");
    EXPECT_FALSE(write_graph(net(), {path, 7, 0.0f}).has_value());
}

// A synthetic tile whose heights grow by one metre per sample row southwards and per column
// eastwards: bilinear interpolation reproduces such a plane exactly.
void write_plane_tile(const std::filesystem::path& path) {
    std::string bytes(1201u * 1201u * 2u, '\0');
    for (int r = 0; r < 1201; ++r)
        for (int c = 0; c < 1201; ++c) {
            auto h = static_cast<std::uint16_t>(500 + r + c);
            std::size_t i = (static_cast<std::size_t>(r) * 1201 + c) * 2;
            bytes[i] = static_cast<char>(h >> 8);
            bytes[i + 1] = static_cast<char>(h & 0xFF);
        }
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(SmallWithDem, EdgesGetElevationsAndSlopeLengths) {
    qr::testing::TempDir dir;
    write_plane_tile(dir.file("N42E001.hgt"));
    RoadNetwork net = extract_small(dir.path().string());
    ASSERT_TRUE(net.has_elevation);
    auto expected_h = [](double lat, double lon) { return 500.0 + (43.0 - lat) * 1200.0 + (lon - 1.0) * 1200.0; };
    for (const auto& n : net.nodes) {
        ASSERT_TRUE(n.elevation_m.has_value());
        EXPECT_NEAR(*n.elevation_m, expected_h(n.lat, n.lon), 1e-6) << "node " << n.osm_id;
    }
    // Node 1 (42.5, 1.5) lies at 1700 m, node 2 (42.501, 1.5) 1.2 m lower.
    const RoadEdge& e = net.edges[0];
    EXPECT_NEAR(e.length_m, std::sqrt(e.horizontal_m * e.horizontal_m + 1.2 * 1.2), 1e-6);

    const auto path = dir.file("dem.bin");
    for (std::uint32_t version : {1u, 2u}) {
        SCOPED_TRACE(fmt::format("version {}", version));
        ASSERT_TRUE(write_graph(net, {path, version, 0.01f}).has_value());
        auto graph = qr::MappedGraph::open(path);
        ASSERT_TRUE(graph.has_value());
        auto edge = graph->edge(0);
        ASSERT_TRUE(edge.has_value());
        EXPECT_TRUE(edge->has_elevation);
        EXPECT_FLOAT_EQ(edge->elevation_from_m, 1700.0f);
        EXPECT_FLOAT_EQ(edge->elevation_to_m, 1698.8f);
        // Version 1 stores the horizontal length and the reader adds the slope; version 2 on
        // stores the slope length itself. Both read back as the same length (to decimetres).
        EXPECT_NEAR(edge->length_m, e.length_m, 0.06);
    }
}

TEST(Structures, TunnelAndBridgeHeightsFollowTheirEnds) {
    // Heights rise by 1 m per sample column eastwards; a block of 3000 m sits over the tunnel's
    // inner nodes 3 and 4 (columns 602 to 604, rows 595 to 605).
    qr::testing::TempDir dir;
    std::string bytes(1201u * 1201u * 2u, '\0');
    for (int r = 0; r < 1201; ++r)
        for (int c = 0; c < 1201; ++c) {
            bool mountain = r >= 595 && r <= 605 && c >= 602 && c <= 604;
            auto h = static_cast<std::uint16_t>(mountain ? 3000 : 1000 + c);
            std::size_t i = (static_cast<std::size_t>(r) * 1201 + c) * 2;
            bytes[i] = static_cast<char>(h >> 8);
            bytes[i + 1] = static_cast<char>(h & 0xFF);
        }
    std::ofstream(dir.file("N42E001.hgt"), std::ios::binary) << bytes;
    ExtractOptions options;
    options.input_path = std::string(GI_TEST_DATA_DIR) + "/tunnel.osm";
    options.dem_dir = dir.path().string();
    auto net = extract_network(options);
    ASSERT_TRUE(net.has_value()) << qr::render_error_report(net.error());
    auto height = [&](std::int64_t id) {
        for (const auto& n : net->nodes)
            if (n.osm_id == id) return *n.elevation_m;
        ADD_FAILURE() << "no node " << id;
        return 0.0;
    };
    auto plane = [](double lon) { return 1000.0 + (lon - 1.0) * 1200.0; };
    // Portals 2 and 5 keep the DEM; 3 and 4 lie on the straight line between them.
    EXPECT_NEAR(height(2), plane(1.5005), 1e-6);
    EXPECT_NEAR(height(5), plane(1.5045), 1e-6);
    EXPECT_NEAR(height(3), plane(1.5020), 0.01);
    EXPECT_NEAR(height(4), plane(1.5030), 0.01);
    // The bridge meets a road only at 9: its other nodes take 9's height.
    EXPECT_NEAR(height(9), plane(1.5020), 1e-6);
    EXPECT_NEAR(height(8), height(9), 1e-9);
    EXPECT_NEAR(height(7), height(9), 1e-9);
    EXPECT_EQ(net->stats.structure_nodes_levelled, 4u);
}

// Way 10 runs 1-2-3 (both ways), way 11 runs 2-4; the restrictions are from way 10 onto itself.
RoadNetwork junction_network() {
    RoadNetwork net;
    for (std::int64_t id : {1, 2, 3, 4}) net.nodes.push_back({id, 42.5, 1.5 + 0.001 * id, std::nullopt});
    net.ways.resize(2);
    net.ways[0].osm_id = 10;
    net.ways[0].nodes = {0, 1, 2};
    net.ways[1].osm_id = 11;
    net.ways[1].nodes = {1, 3};
    // Sorted by source: 1>2, 2>1, 2>3, 2>4, 3>2, 4>2.
    auto edge = [](std::uint32_t from, std::uint32_t to, std::uint32_t way) {
        RoadEdge e;
        e.from = from;
        e.to = to;
        e.way = way;
        return e;
    };
    net.edges = {edge(0, 1, 0), edge(1, 0, 0), edge(1, 2, 0), edge(1, 3, 1), edge(2, 1, 0), edge(3, 1, 1)};
    return net;
}

TEST(Restrictions, FromAWayOntoItself) {
    struct Case {
        const char* kind;
        std::vector<NodeTriple> triples;
    };
    const Case cases[] = {
        {"no_u_turn", {{1, 2, 1}, {3, 2, 3}}},
        {"no_straight_on", {{1, 2, 3}, {3, 2, 1}}},
        {"only_straight_on", {{1, 2, 1}, {1, 2, 4}, {3, 2, 3}, {3, 2, 4}}},
        {"only_u_turn", {{1, 2, 3}, {1, 2, 4}, {3, 2, 1}, {3, 2, 4}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        RoadNetwork net = junction_network();
        resolve_restrictions(net, {TurnRestriction{99, c.kind, 10, 2, 10}});
        EXPECT_THAT(net.restriction_triples, ElementsAreArray(c.triples));
        EXPECT_EQ(net.restriction_pairs.size(), c.triples.size());
        EXPECT_EQ(net.stats.restrictions_used, 1u);
    }
}

TEST(Barriers, RestrictTheEdgesThatTouchThem) {
    ExtractOptions options;
    options.input_path = std::string(GI_TEST_DATA_DIR) + "/barrier.osm";
    auto net = extract_network(options);
    ASSERT_TRUE(net.has_value()) << qr::render_error_report(net.error());
    std::vector<std::string> lines;
    for (const auto& e : net->edges)
        lines.push_back(fmt::format("{}>{} a{}", net->nodes[e.from].osm_id, net->nodes[e.to].osm_id, e.access_class));
    EXPECT_THAT(lines, ElementsAre("1>2 a5", "2>3 a5", "3>4 a4", "4>5 a4", "5>6 a0", "6>7 a0", "7>8 a0", "8>9 a0"));
    EXPECT_EQ(net->stats.barriers, 2u);
}

TEST(SmallWithDem, MissingTileFailsNamingIt) {
    qr::testing::TempDir dir;
    ExtractOptions options;
    options.input_path = kSmall;
    options.dem_dir = dir.path().string();
    auto net = extract_network(options);
    ASSERT_FALSE(net.has_value());
    EXPECT_EQ(net.error().message, fmt::format("Failed to read elevations from {}", dir.path().string()));
    ASSERT_EQ(net.error().causes.size(), 2u);
    EXPECT_EQ(net.error().causes[0], fmt::format("DEM tile N42E001.hgt not found in {} (needed at 42.5, 1.5)",
                                                 dir.path().string()));
}

TEST(BadInput, WayWithMissingNodeFailsNamingWayAndNode) {
    ExtractOptions options;
    options.input_path = std::string(GI_TEST_DATA_DIR) + "/missing-node.osm";
    auto net = extract_network(options);
    ASSERT_FALSE(net.has_value());
    EXPECT_EQ(net.error().message, "Failed to read OSM file " + options.input_path);
    ASSERT_EQ(net.error().causes.size(), 1u);
    EXPECT_EQ(net.error().causes[0],
              "Way 100 references node 3, which is missing from the input (an extract must keep its ways complete "
              "and list nodes before ways, e.g. osmium extract --strategy complete_ways)");
}

}  // namespace
