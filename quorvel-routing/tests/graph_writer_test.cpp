// Our graph writer: exact layout, CSR ordering, round trip through the reader, embedded sections
// equal to the ones the reader builds, and its input checks.

#include "graph_fixtures.hpp"
#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/graph_writer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

namespace quorvel_routing {
namespace {

using ::testing::ElementsAre;
using testing::write_temp_graph;

GraphDescription worked_example(std::uint32_t version) {
    auto g = testing::parse_graph_text(R"(
        cell 0.01
        grid 47 8 2 2
        node 47.001 8.001 osm=11
        node 47.015 8.001 osm=12
        node 47.001 8.015 osm=13
        edge 0 1 1500
        edge 1 2 7000.5
        edge 2 0 1500
        edge 0 2 1500
        pair 0 1
        triple 11 12 13
        pool TREF ref
    )");
    g.version = version;
    if (version < 6) g.tref_pool.reset();
    return g;
}

TEST(GraphWriterLayout, WorkedExampleOffsets) {
    auto encoded = encode_graph(worked_example(7));
    ASSERT_TRUE(encoded) << encoded.error().message;
    const auto& l = encoded->layout;
    EXPECT_EQ(l.node_count, 3u);
    EXPECT_EQ(l.edge_count, 4u);
    EXPECT_EQ(l.long_length_count, 1u);
    EXPECT_EQ(l.sections.node_records, 64u);
    EXPECT_EQ(l.sections.node_osm_ids, 124u);
    EXPECT_EQ(l.sections.edge_records, 148u);
    EXPECT_EQ(l.sections.cell_offsets, 276u);
    EXPECT_EQ(l.sections.cell_nodes, 296u);
    EXPECT_EQ(l.sections.long_lengths, 308u);
    EXPECT_EQ(l.sections.base_file_end, 312u);
    EXPECT_EQ(l.restriction_payload_offset, 312u);
    EXPECT_EQ(l.reverse_csr_offset, 352u);
    EXPECT_EQ(l.main_component_offset, 412u);
    EXPECT_EQ(l.string_pool_offsets[0], std::optional<std::uint64_t>(425));
    EXPECT_EQ(l.file_size, 425u + 12 + 4 + 3);
    EXPECT_EQ(encoded->bytes.size(), l.file_size);

    const auto& b = encoded->bytes;
    const auto u32 = [&](std::size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24; };
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "QVRL");
    EXPECT_EQ(u32(312), 1u);  // pair count
    EXPECT_EQ(u32(324), 1u);  // triple count
    EXPECT_EQ(std::string(b.begin() + 352, b.begin() + 356), "RCSR");
    EXPECT_EQ(u32(364), 0u);   // offsets at 364
    EXPECT_EQ(u32(376), 4u);   // offsets[N] = E
    EXPECT_EQ(std::string(b.begin() + 412, b.begin() + 416), "MCCM");
    EXPECT_EQ(u32(420), 1u);   // (3 + 7) / 8
    EXPECT_EQ(b[424], 0b111);  // the bitset byte: all three nodes form one component
    EXPECT_EQ(std::string(b.begin() + 425, b.begin() + 429), "TREF");

    EXPECT_EQ(encode_graph(worked_example(1))->layout.sections.base_file_end, 216u);
    EXPECT_EQ(encode_graph(worked_example(6))->layout.sections.base_file_end, 244u);
    EXPECT_EQ(graph_sections(7, 3, 4, 2, 2, 1).base_file_end, 312u);
}

TEST(GraphWriterLayout, WorkedExampleReadsBack) {
    auto file = write_temp_graph(worked_example(7));
    auto g = MappedGraph::open(file.path());
    ASSERT_TRUE(g) << g.error().message;
    EXPECT_EQ(g->grid_rows(), 2u);
    EXPECT_EQ(g->grid_cols(), 2u);
    EXPECT_TRUE(g->reverse_csr_is_mapped());
    EXPECT_TRUE(g->main_component_is_mapped());
    ASSERT_TRUE(g->string_pool(StringPoolKind::Tref));
    EXPECT_EQ(g->string_pool(StringPoolKind::Tref)->start, 425u);
    // Input edge 1 (1 -> 2, long) lands at file edge 2; the pair (0, 1) follows it.
    EXPECT_EQ(file.layout().file_edge_index, (std::vector<std::uint32_t>{0, 2, 3, 1}));
    EXPECT_THAT(g->restriction_pairs(), ElementsAre(RestrictionPair{0, 2}));
    EXPECT_EQ(g->edge(2)->length_m, 7000.5f);
    EXPECT_EQ(g->edge(2)->target, 2u);
    EXPECT_EQ(g->edge_source(2), 1u);
    // Cells: node 0 in (0, 0), node 1 in (1, 0), node 2 in (0, 1).
    EXPECT_EQ(g->query_cell(47.015, 8.001), (std::optional<GridCell>(GridCell{1, 0})));
    EXPECT_EQ(g->query_cell(47.001, 8.015), (std::optional<GridCell>(GridCell{0, 1})));
}

// Random graph with every attribute set, edges in shuffled order.
GraphDescription random_graph(std::uint32_t version, std::uint32_t nodes, std::uint32_t edges, unsigned seed) {
    std::mt19937 rng(seed);
    GraphDescription g;
    g.version = version;
    g.cell_size_deg = 0.005f;
    std::uniform_real_distribution<float> lat(46.9f, 47.0f), lon(7.9f, 8.0f);
    for (std::uint32_t i = 0; i < nodes; ++i)
        g.nodes.push_back({lat(rng), lon(rng), std::int64_t(rng()) - (1ll << 31), std::uint32_t(rng()), std::uint32_t(rng())});
    for (std::uint32_t i = 0; i < edges; ++i) {
        GraphWriterEdge e;
        e.from = rng() % nodes;
        e.to = rng() % nodes;
        e.length_m = (rng() % 10 == 0) ? 6553.5f + float(rng() % 100000) : float(rng() % 65535) / 10.0f;
        e.road_class = static_cast<std::uint8_t>(rng() % 16);
        e.maxspeed_kmh = static_cast<std::uint8_t>(rng());
        e.country = static_cast<std::uint8_t>(rng() % 48);
        e.access_class = static_cast<std::uint8_t>(rng() % 8);
        e.toll = rng() & 1;
        e.flag_bit1 = rng() & 1;
        e.flag_bit2 = rng() & 1;
        e.has_elevation = rng() & 1;
        e.elevation_from_m = float(rng() % 30000) / 10.0f;
        e.elevation_to_m = float(rng() % 30000) / 10.0f;
        e.ext_word_14 = rng();
        e.ext_bytes_18 = (std::uint64_t(rng()) << 32) | rng();
        e.ext_word_26 = rng();
        e.ext_byte_30 = static_cast<std::uint8_t>(rng());
        g.edges.push_back(e);
    }
    return g;
}

TEST(GraphWriterRoundTrip, EveryAttributeSurvives) {
    for (std::uint32_t version : {2u, 6u, 7u}) {
        const auto desc = random_graph(version, 60, 400, 7 + version);
        auto file = write_temp_graph(desc);
        auto g = MappedGraph::open(file.path());
        ASSERT_TRUE(g) << g.error().message;
        ASSERT_EQ(g->edge_count(), 400u);
        const auto& index = file.layout().file_edge_index;
        for (std::uint32_t i = 0; i < desc.edges.size(); ++i) {
            const auto& in = desc.edges[i];
            auto e = g->edge(index[i]);
            ASSERT_TRUE(e);
            SCOPED_TRACE(::testing::Message() << "version " << version << " edge " << i);
            EXPECT_EQ(g->edge_source(index[i]), in.from);
            auto range = g->out_edges(in.from);
            ASSERT_TRUE(range);
            EXPECT_TRUE(index[i] >= range->begin_edge && index[i] < range->end_edge);
            EXPECT_EQ(e->target, in.to);
            const float expected =
                in.length_m >= 6553.5f ? in.length_m : float(std::round(double(in.length_m) * 10)) / 10.0f;
            EXPECT_EQ(e->length_m, expected);
            EXPECT_EQ(e->road_class, road_class_name(in.road_class));
            EXPECT_EQ(e->country, country_code(in.country));
            EXPECT_EQ(e->maxspeed_kmh, in.maxspeed_kmh);
            EXPECT_EQ(e->access_class, in.access_class);
            EXPECT_EQ(e->toll, in.toll);
            EXPECT_EQ(e->flag_bit1, in.flag_bit1);
            EXPECT_EQ(e->flag_bit2, in.flag_bit2);
            EXPECT_EQ(e->has_elevation, in.has_elevation);
            EXPECT_FLOAT_EQ(e->elevation_from_m, in.elevation_from_m);
            EXPECT_FLOAT_EQ(e->elevation_to_m, in.elevation_to_m);
            EXPECT_EQ(e->ext_word_14, version >= 6 ? in.ext_word_14 : 0u);
            EXPECT_EQ(e->ext_bytes_18, version >= 7 ? in.ext_bytes_18 : 0u);
            EXPECT_EQ(e->ext_word_26, version >= 7 ? in.ext_word_26 : 0u);
            EXPECT_EQ(e->ext_byte_30, version >= 7 ? in.ext_byte_30 : 0u);
        }
        for (std::uint32_t v = 0; v < desc.nodes.size(); ++v) {
            EXPECT_EQ(g->node_coord(v).lat, desc.nodes[v].lat);
            EXPECT_EQ(g->node_coord(v).lon, desc.nodes[v].lon);
            EXPECT_EQ(g->node_osm_id(v), desc.nodes[v].osm_id);
            // Every node is listed in the cell of its coordinate.
            auto near = g->find_within(desc.nodes[v].lat, desc.nodes[v].lon, 0.0, [v](std::uint32_t n) { return n == v; });
            ASSERT_TRUE(near);
            EXPECT_EQ(near->size(), 1u) << "node " << v;
        }
    }
}

TEST(GraphWriterRoundTrip, EmbeddedSectionsEqualTheBuiltOnes) {
    auto desc = random_graph(7, 300, 900, 99);
    auto embedded_file = write_temp_graph(desc);
    desc.embed_reverse_csr = false;
    auto built_file = write_temp_graph(desc);
    auto embedded = MappedGraph::open(embedded_file.path());
    auto built = MappedGraph::open(built_file.path());
    ASSERT_TRUE(embedded);
    ASSERT_TRUE(built);
    ASSERT_TRUE(embedded->reverse_csr_is_mapped());
    ASSERT_FALSE(built->reverse_csr_is_mapped());
    ASSERT_TRUE(embedded->main_component_is_mapped());
    ASSERT_FALSE(built->main_component_is_mapped());
    EXPECT_EQ(embedded->main_component_count(), built->main_component_count());
    EXPECT_GT(built->main_component_count(), 0u);
    for (std::uint32_t v = 0; v < 300; ++v) {
        auto a = embedded->incoming(v);
        auto b = built->incoming(v);
        ASSERT_TRUE(a);
        ASSERT_TRUE(b);
        EXPECT_EQ(std::vector<IncomingEntry>(a->begin(), a->end()), std::vector<IncomingEntry>(b->begin(), b->end()))
            << "node " << v;
        EXPECT_EQ(embedded->in_main_component(v), built->in_main_component(v)) << "node " << v;
    }
}

TEST(GraphWriterRoundTrip, GivenComponentIsWrittenAsItIs) {
    auto desc = testing::parse_graph_text(R"(
        version 5
        node 47 8
        node 47.001 8
        node 47.002 8
        both 0 1 10
    )");
    desc.main_component = std::vector<std::uint8_t>{0, 1, 1};
    auto file = write_temp_graph(desc);
    auto g = MappedGraph::open(file.path());
    ASSERT_TRUE(g);
    EXPECT_FALSE(g->in_main_component(0));
    EXPECT_TRUE(g->in_main_component(2));
    EXPECT_EQ(g->main_component_count(), 2u);
}

TEST(GraphWriterErrors, RejectsDescriptionsItCannotWrite) {
    const auto with = [](std::string_view text, auto&& change) {
        auto g = testing::parse_graph_text(text);
        change(g);
        return g;
    };
    const std::string two = "node 47 8\nnode 47.002 8\n";
    const struct {
        const char* name;
        GraphDescription graph;
        std::string message;
    } cases[] = {
        {"version", with(two, [](auto& g) { g.version = 8; }), "Cannot write graph format version 8: expected 1\u20137"},
        {"edge to a missing node", with(two + "edge 0 2 5\n", [](auto&) {}),
         "Edge 0 runs from node 0 to node 2, but the graph has 2 nodes"},
        {"access class", with(two + "edge 0 1 5\n", [](auto& g) { g.edges[0].access_class = 8; }),
         "Edge 0 has access class 8 (expected 0 to 7)"},
        {"outside the grid", with(two + "grid 47 8 1 1\ncell 0.001\n", [](auto&) {}),
         "Node 1 at (47.002, 8) lies outside the grid"},
        {"cell size", with(two + "cell 0\n", [](auto&) {}), "Cell size must be a positive number of degrees, got 0"},
        {"pool before version 6", with(two + "version 5\npool TREF a\n", [](auto&) {}),
         "The TREF string pool needs graph format version 6 or later"},
        {"TNAM in version 6", with(two + "version 6\npool TNAM a\n", [](auto&) {}),
         "The TNAM string pool needs graph format version 7 or later"},
        {"pool without sections", with(two + "no-rcsr\npool TREF a\n", [](auto&) {}),
         "The TREF string pool needs the reverse adjacency and the main component embedded"},
        {"component size", with(two, [](auto& g) { g.main_component = std::vector<std::uint8_t>{1}; }),
         "Main component list has 1 entries for 2 nodes"},
    };
    for (const auto& c : cases) {
        auto r = encode_graph(c.graph);
        ASSERT_FALSE(r) << c.name;
        EXPECT_EQ(r.error().message, c.message) << c.name;
    }
}

TEST(GraphWriterErrors, UnwritablePath) {
    auto r = write_graph_file("/nonexistent-dir/graph.bin", testing::parse_graph_text("node 47 8\n"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "Failed to create graph file: /nonexistent-dir/graph.bin");
    EXPECT_THAT(r.error().causes, ElementsAre("No such file or directory (os error 2)"));
}

TEST(GraphWriterTables, NamesToCodes) {
    EXPECT_EQ(road_class_code("motorway"), std::optional<std::uint8_t>(0));
    EXPECT_EQ(road_class_code("living_street"), std::optional<std::uint8_t>(13));
    EXPECT_EQ(road_class_code("track"), std::nullopt);
    EXPECT_EQ(country_value("AT"), std::optional<std::uint8_t>(1));
    EXPECT_EQ(country_value("DE"), std::optional<std::uint8_t>(5));
    EXPECT_EQ(country_value("XK"), std::optional<std::uint8_t>(34));
    EXPECT_EQ(country_value("TR"), std::optional<std::uint8_t>(46));
    EXPECT_EQ(country_value("US"), std::nullopt);
}

}  // namespace
}  // namespace quorvel_routing
