// Corrupt graph files: every index read from the file is checked before use. Files with the
// embedded sections open without a scan and report the bad record when it is reached; files
// whose derived structures are built at open fail the open with the same error. Also replays
// the inputs kept from fuzzing.

#include "graph_fixtures.hpp"
#include "graph_walk.hpp"
#include "quorvel_routing/graph.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

namespace quorvel_routing {
namespace {

using testing::TempGraphFile;
using testing::write_temp_bytes;
using testing::write_temp_graph;

// File edges: 0: 0->1, 1: 0->2, 2: 1->0, 3: 1->2, 4: 2->1, 5: 2->0.
std::string triangle(std::uint32_t version) {
    return "version " + std::to_string(version) + R"(
        node 47.000 8.000
        node 47.001 8.000
        node 47.000 8.001
        both 0 1 100
        both 1 2 100
        both 2 0 100
    )";
}

const auto kAny = [](std::uint32_t) { return true; };

TEST(GraphCorrupt, EdgeTargetOutsideTheNodes) {
    const std::string message = "Corrupt graph file: edge 3 has target node 99 (the file has 3 nodes)";
    {
        auto file = write_temp_graph(triangle(7));
        file.patch_u32(file.edge_record(3), 99);
        auto g = MappedGraph::open(file.path());
        ASSERT_TRUE(g) << "open stays O(1) with embedded sections";
        auto e = g->edge(3);
        ASSERT_FALSE(e);
        EXPECT_EQ(e.error().message, message);
        EXPECT_TRUE(g->edge(2)) << "the other edges still decode";
        EXPECT_GT(testing::walk_graph(*g).errors, 0u);
    }
    for (std::uint32_t version : {3u, 4u}) {  // reverse adjacency (3) or component (4) built at open
        auto file = write_temp_graph(triangle(version));
        file.patch_u32(file.edge_record(3), 99);
        auto g = MappedGraph::open(file.path());
        ASSERT_FALSE(g) << version;
        EXPECT_EQ(g.error().message, message) << version;
    }
}

TEST(GraphCorrupt, FirstEdgeOutsideTheEdges) {
    const struct {
        const char* name;
        std::uint32_t node;
        std::uint32_t first_edge;
        std::uint32_t failing_node;
        std::string message;
    } cases[] = {
        {"past the edge count", 1, 100, 0, "Corrupt graph file: node 0 has out-edge range 0..100 (the file has 6 edges)"},
        {"reversed range", 1, 5, 1, "Corrupt graph file: node 1 has out-edge range 5..4 (the file has 6 edges)"},
    };
    for (const auto& c : cases) {
        {
            auto file = write_temp_graph(triangle(7));
            file.patch_u32(file.node_record(c.node) + 8, c.first_edge);
            auto g = MappedGraph::open(file.path());
            ASSERT_TRUE(g) << c.name;
            auto range = g->out_edges(c.failing_node);
            ASSERT_FALSE(range) << c.name;
            EXPECT_EQ(range.error().message, c.message) << c.name;
            EXPECT_FALSE(g->out_degree(c.failing_node)) << c.name;
            EXPECT_FALSE(g->is_routable(c.failing_node)) << c.name;
            (void)testing::walk_graph(*g);
        }
        {
            auto file = write_temp_graph(triangle(3));
            file.patch_u32(file.node_record(c.node) + 8, c.first_edge);
            auto g = MappedGraph::open(file.path());
            ASSERT_FALSE(g) << c.name;
            EXPECT_EQ(g.error().message, c.message) << c.name;
        }
    }
}

TEST(GraphCorrupt, ReverseEntriesOutsideTheGraph) {
    auto file = write_temp_graph(triangle(7));
    const std::uint64_t rcsr = file.layout().reverse_csr_offset;
    const std::uint64_t offsets = rcsr + 12;
    const std::uint64_t entries = rcsr + 16 + 4 * 3;
    const auto original = file.read_all();
    const struct {
        const char* name;
        std::uint64_t at;
        std::uint32_t value;
        bool degree_fails;
        std::string message;
    } cases[] = {
        {"entry source", entries, 99, false,
         "Corrupt graph file: reverse CSR entry 0 (incoming to node 0) has source node 99 and edge 2 (the file has 3 "
         "nodes and 6 edges)"},
        {"entry edge", entries + 4, 6, false,
         "Corrupt graph file: reverse CSR entry 0 (incoming to node 0) has source node 1 and edge 6 (the file has 3 "
         "nodes and 6 edges)"},
        {"offset past the edges", offsets + 4, 1000, true,
         "Corrupt graph file: reverse CSR offsets of node 0 span 0..1000 (the file has 6 edges)"},
        {"reversed offsets", offsets, 3, true,
         "Corrupt graph file: reverse CSR offsets of node 0 span 3..2 (the file has 6 edges)"},
    };
    for (const auto& c : cases) {
        auto copy = write_temp_bytes(original);
        copy.patch_u32(c.at, c.value);
        auto g = MappedGraph::open(copy.path());
        ASSERT_TRUE(g) << c.name;
        ASSERT_TRUE(g->reverse_csr_is_mapped()) << c.name;
        auto in = g->incoming(0);
        ASSERT_FALSE(in) << c.name;
        EXPECT_EQ(in.error().message, c.message) << c.name;
        auto by_osm = g->incoming_edge_idx_from_source_osm(0, 2);
        ASSERT_FALSE(by_osm) << c.name;
        EXPECT_EQ(by_osm.error().message, c.message) << c.name;
        EXPECT_EQ(!g->in_degree(0), c.degree_fails) << c.name;
        EXPECT_EQ(g->is_routable(0), !c.degree_fails) << c.name;
        (void)testing::walk_graph(*g);

        // Computing the component over the same mapped entries fails the open instead.
        auto no_mccm = write_temp_bytes(copy.read_all());
        no_mccm.patch_u32(file.layout().main_component_offset, 0);
        auto h = MappedGraph::open(no_mccm.path());
        ASSERT_FALSE(h) << c.name;
        EXPECT_EQ(h.error().message, c.message) << c.name;
    }
}

TEST(GraphCorrupt, CellListsOutsideTheNodes) {
    auto file = write_temp_graph(triangle(7));
    const auto& s = file.layout().sections;
    const auto original = file.read_all();
    const struct {
        const char* name;
        std::uint64_t at;
        std::uint32_t value;
        std::string message;
    } cases[] = {
        {"node entry", s.cell_nodes + 4, 99,
         "Corrupt graph file: cell 0 (row 0, column 0) lists node 99 (the file has 3 nodes)"},
        {"cell offset", s.cell_offsets + 4, 50,
         "Corrupt graph file: cell 0 (row 0, column 0) has node list range 0..50 (the file has 3 nodes)"},
        {"reversed offsets", s.cell_offsets, 3,
         "Corrupt graph file: cell 0 (row 0, column 0) has node list range 3..2 (the file has 3 nodes)"},
    };
    for (const auto& c : cases) {
        auto copy = write_temp_bytes(original);
        copy.patch_u32(c.at, c.value);
        if (std::string_view(c.name) == "reversed offsets") copy.patch_u32(c.at + 4, 2);
        auto g = MappedGraph::open(copy.path());
        ASSERT_TRUE(g) << c.name;
        auto nearest = g->find_nearest(47.0, 8.0, 1000.0, kAny);
        ASSERT_FALSE(nearest) << c.name;
        EXPECT_EQ(nearest.error().message, c.message) << c.name;
        auto within = g->find_within(47.0, 8.0, 1000.0, kAny);
        ASSERT_FALSE(within) << c.name;
        EXPECT_EQ(within.error().message, c.message) << c.name;
    }
}

TEST(GraphCorrupt, HugeHeaderCountsDoNotOverflowTheLayout) {
    auto file = write_temp_graph(triangle(7));
    const auto original = file.read_all();
    const struct {
        const char* name;
        std::uint64_t at;
    } cases[] = {{"node count", 8}, {"edge count", 12}, {"grid rows", 28}, {"long lengths", 36}};
    for (const auto& c : cases) {
        auto copy = write_temp_bytes(original);
        copy.patch_u32(c.at, 0xFFFFFFFFu);
        if (std::string_view(c.name) == "grid rows") copy.patch_u32(32, 0xFFFFFFFFu);
        auto g = MappedGraph::open(copy.path());
        ASSERT_FALSE(g) << c.name;
        EXPECT_THAT(g.error().message, ::testing::StartsWith("Graph file truncated: ")) << c.name;
    }
}

TEST(GraphCorrupt, OffsetsNearTheEndOfTheAddressSpace) {
    auto file = write_temp_graph(triangle(7) + "pool TREF a\n");
    const auto original = file.read_all();
    for (const std::uint64_t offset : {~std::uint64_t(0), ~std::uint64_t(0) - 15, std::uint64_t(original.size() - 1)}) {
        auto copy = write_temp_bytes(original);
        copy.patch_u64(56, offset);  // reverse CSR, and with it MCCM and TREF
        copy.patch_u64(40, offset);  // restriction payload
        auto g = MappedGraph::open(copy.path());
        ASSERT_TRUE(g) << offset;
        EXPECT_FALSE(g->reverse_csr_is_mapped());
        EXPECT_FALSE(g->main_component_is_mapped());
        EXPECT_FALSE(g->string_pool(StringPoolKind::Tref));
        (void)testing::walk_graph(*g);
    }
}

// Inputs kept from fuzzing the reader; each must open or fail cleanly and survive the walk.
TEST(GraphFuzzRegressions, EveryKeptInputIsHandled) {
    const std::filesystem::path dir = std::filesystem::path(QR_SOURCE_DIR) / "quorvel-routing/tests/fuzz";
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
        ++count;
        auto g = MappedGraph::open(entry.path());
        if (g) (void)testing::walk_graph(*g);
    }
    EXPECT_GT(count, 0u);
}

}  // namespace
}  // namespace quorvel_routing
