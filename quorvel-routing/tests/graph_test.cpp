// Opening graph files: fatal errors, warnings and fallbacks, edge decoding, restrictions,
// the derived structures and the string pools.

#include "graph_fixtures.hpp"
#include "quorvel_routing/graph.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

namespace quorvel_routing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::capture_log_lines;
using testing::TempGraphFile;
using testing::write_temp_bytes;
using testing::write_temp_graph;

constexpr const char* kTriangle = R"(
    node 47.000 8.000
    node 47.001 8.000
    node 47.000 8.001
    both 0 1 100
    both 1 2 100
    both 2 0 100
)";

std::string with_version(std::uint32_t version, std::string_view body) {
    return "version " + std::to_string(version) + "\n" + std::string(body);
}

struct Opened {
    Result<MappedGraph> graph;
    std::vector<std::string> log;
};

Opened open_logged(const std::filesystem::path& path) {
    std::optional<Result<MappedGraph>> graph;
    auto lines = capture_log_lines([&] { graph.emplace(MappedGraph::open(path)); });
    return Opened{std::move(*graph), std::move(lines)};
}

std::vector<std::string> warnings(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.rfind("WARN ", 0) == 0) out.push_back(l.substr(5));
    return out;
}

bool has_line(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0) return true;
    return false;
}

// ---- fatal errors ----------------------------------------------------------------------------

TEST(GraphOpenErrors, MissingFileNamesThePathAndTheOsError) {
    auto g = MappedGraph::open("/nonexistent-dir/graph.bin");
    ASSERT_FALSE(g);
    EXPECT_EQ(g.error().message, "Failed to open graph file: /nonexistent-dir/graph.bin");
    EXPECT_THAT(g.error().causes, ElementsAre("No such file or directory (os error 2)"));
}

TEST(GraphOpenErrors, UnmappableFileIsAMappingError) {
    testing::TempDir dir;  // a directory opens for reading but cannot be mapped
    auto g = MappedGraph::open(dir.path());
    ASSERT_FALSE(g);
    EXPECT_EQ(g.error().message, "Failed to memory-map graph file");
    ASSERT_EQ(g.error().causes.size(), 1u);
    EXPECT_THAT(g.error().causes[0], HasSubstr("(os error "));
}

TEST(GraphOpenErrors, HeaderChecksInOrder) {
    auto valid = write_temp_graph(with_version(1, "node 47 8\n")).read_all();
    ASSERT_EQ(valid.size(), 96u);  // 64 + 12 + 8 + 0 + 4 + 4 + 4
    auto bad_magic = valid;
    bad_magic[3] = 'X';
    auto version0 = valid;
    version0[4] = 0;
    auto version8 = valid;
    version8[4] = 8;
    // Truncation and a bad version at once: the version is reported, it is checked first.
    auto version9_short = std::vector<std::uint8_t>(valid.begin(), valid.begin() + 70);
    version9_short[4] = 9;

    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::string message;
    } cases[] = {
        {"empty", {}, "Graph file too small for header (0 bytes)"},
        {"63 bytes", std::vector<std::uint8_t>(valid.begin(), valid.begin() + 63), "Graph file too small for header (63 bytes)"},
        {"magic", bad_magic, "Invalid magic bytes: [81, 86, 82, 88]"},
        {"version 0", version0, "Unsupported graph format version: 0 (expected 1\u20137)"},
        {"version 8", version8, "Unsupported graph format version: 8 (expected 1\u20137)"},
        {"version before length", version9_short, "Unsupported graph format version: 9 (expected 1\u20137)"},
        {"95 bytes", std::vector<std::uint8_t>(valid.begin(), valid.begin() + 95),
         "Graph file truncated: 95 bytes, expected at least 96"},
    };
    for (const auto& c : cases) {
        auto file = write_temp_bytes(c.bytes);
        auto g = MappedGraph::open(file.path());
        ASSERT_FALSE(g) << c.name;
        EXPECT_EQ(g.error().message, c.message) << c.name;
        EXPECT_TRUE(g.error().causes.empty()) << c.name;
    }
    auto file = write_temp_bytes(valid);
    EXPECT_TRUE(MappedGraph::open(file.path())) << "the 96-byte file itself opens";
}

TEST(GraphOpenErrors, TruncationUsesTheRecordSizesOfTheVersion) {
    for (std::uint32_t version = 1; version <= 7; ++version) {
        auto file = write_temp_graph(with_version(version, kTriangle));
        const auto base = file.layout().sections.base_file_end;
        file.truncate(base - 1);
        auto g = MappedGraph::open(file.path());
        ASSERT_FALSE(g) << version;
        EXPECT_EQ(g.error().message,
                  "Graph file truncated: " + std::to_string(base - 1) + " bytes, expected at least " + std::to_string(base))
            << version;
    }
}

std::size_t open_descriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST(GraphOpen, DescriptorIsClosedOnEveryPath) {
    auto good = write_temp_graph(with_version(7, kTriangle));
    auto bad = write_temp_graph(with_version(7, kTriangle));
    bad.truncate(100);
    const std::size_t before = open_descriptors();
    auto g = MappedGraph::open(good.path());
    ASSERT_TRUE(g);
    EXPECT_EQ(open_descriptors(), before) << "the mapping stays, the descriptor does not";
    ASSERT_FALSE(MappedGraph::open(bad.path()));
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(g->node_coord(1).lat, 47.001f) << "the mapping is still readable";
}

TEST(GraphOpen, EveryVersionOpensWithoutWarnings) {
    for (std::uint32_t version = 1; version <= 7; ++version) {
        auto file = write_temp_graph(with_version(version, kTriangle));
        auto opened = open_logged(file.path());
        ASSERT_TRUE(opened.graph) << version << ": " << opened.graph.error().message;
        EXPECT_EQ(opened.graph->version(), version);
        EXPECT_EQ(opened.graph->node_count(), 3u);
        EXPECT_EQ(opened.graph->edge_count(), 6u);
        EXPECT_TRUE(warnings(opened.log).empty()) << version;
        EXPECT_EQ(opened.graph->reverse_csr_is_mapped(), version >= 4) << version;
        EXPECT_EQ(opened.graph->main_component_is_mapped(), version >= 5) << version;
        EXPECT_EQ(opened.graph->main_component_count(), 3u) << version;
    }
}

TEST(GraphOpen, OpenedLineWithSizeInMebibytes) {
    auto file = write_temp_graph(with_version(2, kTriangle));
    const auto size = file.layout().file_size;
    file.append(std::vector<std::uint8_t>(1572864 - size, 0));  // trailing bytes are not read
    auto opened = open_logged(file.path());
    ASSERT_TRUE(opened.graph);
    EXPECT_TRUE(has_line(opened.log,
                         "INFO quorvel_routing::graph: Opened graph: 3 nodes, 6 edges, 1x1 grid, 0 restriction pairs, "
                         "0 OSM triples, 1.5 MB"))
        << ::testing::PrintToString(opened.log);
}

TEST(GraphOpen, FileWithoutNodesOpens) {
    for (std::uint32_t version : {1u, 3u, 5u, 7u}) {
        auto file = write_temp_graph(with_version(version, ""));
        auto opened = open_logged(file.path());
        ASSERT_TRUE(opened.graph) << version << ": " << opened.graph.error().message;
        EXPECT_EQ(opened.graph->node_count(), 0u);
        EXPECT_EQ(opened.graph->main_component_count(), 0u);
        auto nearest = opened.graph->find_nearest(0.0, 0.0, 1e9, [](std::uint32_t) { return true; });
        ASSERT_TRUE(nearest);
        EXPECT_FALSE(nearest->has_value());
    }
}

// ---- log lines of the derived structures ------------------------------------------------------

TEST(GraphOpenLog, WhereReverseAdjacencyAndComponentComeFrom) {
    const std::regex built_reverse(R"(INFO quorvel_routing::graph: Reverse adjacency built in \d+\.\dms)");
    const std::regex computed(
        R"(INFO quorvel_routing::graph: Main SCC: 3 nodes \(100\.0%\), fwd-reach=3, bwd-reach=3, computed in \d+\.\dms)");
    {
        auto file = write_temp_graph(with_version(3, kTriangle));
        auto opened = open_logged(file.path());
        ASSERT_TRUE(opened.graph);
        ASSERT_EQ(opened.log.size(), 5u) << ::testing::PrintToString(opened.log);
        EXPECT_EQ(opened.log[0],
                  "INFO quorvel_routing::graph: Opened graph: 3 nodes, 6 edges, 1x1 grid, 0 restriction pairs, 0 OSM "
                  "triples, 0.0 MB");
        EXPECT_EQ(opened.log[1], "INFO quorvel_routing::graph: Building reverse adjacency (6 edges)...");
        EXPECT_TRUE(std::regex_match(opened.log[2], built_reverse)) << opened.log[2];
        EXPECT_EQ(opened.log[3], "INFO quorvel_routing::graph: Computing main strongly connected component...");
        EXPECT_TRUE(std::regex_match(opened.log[4], computed)) << opened.log[4];
    }
    {
        auto file = write_temp_graph(with_version(7, kTriangle));
        auto opened = open_logged(file.path());
        ASSERT_TRUE(opened.graph);
        const auto& l = file.layout();
        EXPECT_THAT(opened.log,
                    ElementsAre(HasSubstr("Opened graph: 3 nodes, 6 edges"),
                                "INFO quorvel_routing::graph: Reverse CSR: mmap-backed at offset " +
                                    std::to_string(l.reverse_csr_offset) + " (zero-copy, 6 edges)",
                                "INFO quorvel_routing::graph: Main SCC: mmap-backed bitset at offset " +
                                    std::to_string(l.main_component_offset + 12) + " \u2014 3 nodes (100.0%)"));
    }
}

TEST(GraphOpenLog, Version4WithoutEmbeddedReverseBuildsItSilently) {
    auto file = write_temp_graph(with_version(4, std::string(kTriangle) + "no-rcsr\n"));
    auto opened = open_logged(file.path());
    ASSERT_TRUE(opened.graph);
    EXPECT_TRUE(warnings(opened.log).empty());
    EXPECT_FALSE(opened.graph->reverse_csr_is_mapped());
    EXPECT_TRUE(has_line(opened.log, "INFO quorvel_routing::graph: Building reverse adjacency (6 edges)..."));
}

TEST(GraphOpenLog, InvalidEmbeddedReverseIsRebuilt) {
    auto file = write_temp_graph(with_version(5, kTriangle));
    const auto rcsr = file.layout().reverse_csr_offset;
    const struct {
        const char* name;
        std::uint64_t offset;
        std::uint32_t value;
    } cases[] = {
        {"tag", rcsr, 0x52535258u},
        {"node count", rcsr + 4, 4},
        {"edge count", rcsr + 8, 5},
        {"last offset", rcsr + 12 + 4 * 3, 5},
    };
    const auto original = file.read_all();
    for (const auto& c : cases) {
        auto copy = write_temp_bytes(original);
        copy.patch_u32(c.offset, c.value);
        auto opened = open_logged(copy.path());
        ASSERT_TRUE(opened.graph) << c.name;
        EXPECT_THAT(warnings(opened.log),
                    ElementsAre("quorvel_routing::graph: V4+ graph: embedded reverse CSR at offset " + std::to_string(rcsr) +
                                " invalid; rebuilding from forward CSR"))
            << c.name;
        EXPECT_TRUE(has_line(opened.log, "INFO quorvel_routing::graph: Building reverse adjacency (6 edges)...")) << c.name;
        EXPECT_FALSE(opened.graph->reverse_csr_is_mapped()) << c.name;
        // The component is located from the header offset and still used in place.
        EXPECT_TRUE(opened.graph->main_component_is_mapped()) << c.name;
        auto in = opened.graph->in_degree(0);
        ASSERT_TRUE(in);
        EXPECT_EQ(*in, 2u);
    }
    // A reverse CSR section running past the end of the file.
    auto copy = write_temp_bytes(original);
    copy.patch_u64(56, original.size() - 10);
    auto opened = open_logged(copy.path());
    ASSERT_TRUE(opened.graph);
    EXPECT_EQ(warnings(opened.log).size(), 2u) << ::testing::PrintToString(opened.log);
}

TEST(GraphOpenLog, InvalidEmbeddedComponentIsComputed) {
    auto file = write_temp_graph(with_version(5, kTriangle));
    const auto mccm = file.layout().main_component_offset;
    const auto original = file.read_all();
    const struct {
        const char* name;
        std::uint64_t offset;
        std::uint32_t value;
    } cases[] = {
        {"tag", mccm, 0},
        {"node count", mccm + 4, 2},
        {"byte count one short", mccm + 8, 0},  // (3 + 7) / 8 - 1
    };
    for (const auto& c : cases) {
        auto copy = write_temp_bytes(original);
        copy.patch_u32(c.offset, c.value);
        auto opened = open_logged(copy.path());
        ASSERT_TRUE(opened.graph) << c.name;
        EXPECT_THAT(warnings(opened.log),
                    ElementsAre("quorvel_routing::graph: V5 graph " + copy.path().string() +
                                ": embedded main SCC at offset " + std::to_string(mccm) + " invalid; computing at open"))
            << c.name;
        ASSERT_GE(opened.log.size(), 2u);
        EXPECT_EQ(opened.log[opened.log.size() - 2],
                  "INFO quorvel_routing::graph: Computing main strongly connected component...")
            << c.name;
        EXPECT_THAT(opened.log.back(), HasSubstr("Main SCC: 3 nodes (100.0%), fwd-reach=3, bwd-reach=3, computed in "));
        EXPECT_TRUE(opened.graph->reverse_csr_is_mapped()) << c.name;
        EXPECT_FALSE(opened.graph->main_component_is_mapped()) << c.name;
    }
    // The bitset byte missing at the end of the file.
    auto copy = write_temp_bytes(std::vector<std::uint8_t>(original.begin(), original.end() - 1));
    auto opened = open_logged(copy.path());
    ASSERT_TRUE(opened.graph);
    EXPECT_EQ(warnings(opened.log).size(), 1u);
    EXPECT_FALSE(opened.graph->main_component_is_mapped());
}

// ---- restrictions ------------------------------------------------------------------------------

constexpr const char* kRestricted = R"(
    version 3
    node 47.000 8.000 osm=-5
    node 47.001 8.000 osm=7
    node 47.000 8.001 osm=9
    both 0 1 100
    both 1 2 100
    both 2 0 100
    pair 0 3
    triple 9 7 -5
)";

TEST(GraphRestrictions, PairsAndTriplesAreSorted) {
    // Edges already in CSR order, so input and file edge indices agree.
    auto g_desc = testing::parse_graph_text(R"(
        version 3
        node 47.000 8.000
        node 47.001 8.000
        node 47.000 8.001
        edge 0 1 10
        edge 0 2 10
        edge 1 0 10
        edge 1 2 10
        edge 2 0 10
        edge 2 1 10
    )");
    g_desc.restriction_pairs = {{5, 9}, {2, 7}, {5, 1}};  // 7 and 9 lie beyond the 6 edges: written as they are
    g_desc.osm_triples = {{9, 7, -5}, {-5, 7, 9}, {7, -5, 9}, {-5, 7, 2}};
    auto file = write_temp_graph(g_desc);
    auto g = MappedGraph::open(file.path());
    ASSERT_TRUE(g);
    EXPECT_THAT(g->restriction_pairs(), ElementsAre(RestrictionPair{2, 7}, RestrictionPair{5, 1}, RestrictionPair{5, 9}));
    EXPECT_THAT(g->osm_triples(),
                ElementsAre(OsmTriple{-5, 7, 2}, OsmTriple{-5, 7, 9}, OsmTriple{7, -5, 9}, OsmTriple{9, 7, -5}));
    EXPECT_TRUE(g->has_restriction_pair(5, 1));
    EXPECT_FALSE(g->has_restriction_pair(1, 5));
    EXPECT_TRUE(g->has_osm_triple(-5, 7, 9));
    EXPECT_FALSE(g->has_osm_triple(-5, 9, 7));
}

TEST(GraphRestrictions, PayloadAtBaseFileEndIsValid) {
    auto file = write_temp_graph(kRestricted);
    EXPECT_EQ(file.layout().restriction_payload_offset, file.layout().sections.base_file_end);
    auto opened = open_logged(file.path());
    ASSERT_TRUE(opened.graph);
    EXPECT_TRUE(warnings(opened.log).empty());
    EXPECT_EQ(opened.graph->restriction_pairs().size(), 1u);
    EXPECT_EQ(opened.graph->osm_triples().size(), 1u);
}

TEST(GraphRestrictions, PayloadWarnings) {
    auto file = write_temp_graph(kRestricted);
    const auto original = file.read_all();
    const std::uint64_t len = original.size();
    const std::uint64_t base = file.layout().sections.base_file_end;
    const std::uint64_t payload = file.layout().restriction_payload_offset;
    const std::string p = "quorvel_routing::graph: V3 graph ";
    const auto invalid_offset = [&](const std::string& path, std::uint64_t offset) {
        return p + path + ": restriction_payload_offset " + std::to_string(offset) + " invalid (base_file_end=" +
               std::to_string(base) + ", len=" + std::to_string(len) +
               "); header lists 1 pairs + 1 triples \u2014 turn restrictions were NOT loaded (routing behaves like "
               "unrestricted)";
    };
    const auto mismatch = [&](const std::string& path, int pairs, int triples, int hp, int ht) {
        return p + path + ": restriction payload/header mismatch \u2014 loaded " + std::to_string(pairs) + " pairs + " +
               std::to_string(triples) + " triples vs header " + std::to_string(hp) + " + " + std::to_string(ht) +
               " (file may be corrupt or from an incompatible writer)";
    };

    struct Case {
        const char* name;
        std::uint64_t offset;
        int width;  // 4 or 8
        std::uint64_t value;
        std::size_t pairs, triples;
        std::function<std::vector<std::string>(const std::string&)> expected;
    };
    const std::vector<Case> cases = {
        {"offset at the file length", 40, 8, len, 0, 0, [&](auto& path) { return std::vector{invalid_offset(path, len)}; }},
        {"offset 0", 40, 8, 0, 0, 0, [&](auto& path) { return std::vector{invalid_offset(path, 0)}; }},
        {"offset below base_file_end", 40, 8, base - 1, 0, 0,
         [&](auto& path) { return std::vector{invalid_offset(path, base - 1)}; }},
        {"pairs truncated", payload, 4, 1000, 0, 0,
         [&](auto& path) {
             return std::vector{p + path + ": restriction pairs truncated at offset " + std::to_string(payload + 4) +
                                    " (expected 8000 bytes past count)",
                                mismatch(path, 0, 0, 1, 1)};
         }},
        {"triples truncated", payload + 12, 4, 1000, 1, 0,
         [&](auto& path) {
             return std::vector{p + path + ": restriction triples truncated at offset " + std::to_string(payload + 16) +
                                    " (expected 24000 bytes past count)",
                                mismatch(path, 1, 0, 1, 1)};
         }},
        {"header pair count", 48, 4, 2, 1, 1, [&](auto& path) { return std::vector{mismatch(path, 1, 1, 2, 1)}; }},
        {"header triple count", 52, 4, 0, 1, 1, [&](auto& path) { return std::vector{mismatch(path, 1, 1, 1, 0)}; }},
        // Fewer than four bytes at the pair count: nothing loaded, only the comparison warns.
        {"no room for the pair count", 40, 8, len - 3, 0, 0,
         [&](auto& path) { return std::vector{mismatch(path, 0, 0, 1, 1)}; }},
    };
    for (const auto& c : cases) {
        auto copy = write_temp_bytes(original);
        if (c.width == 8) copy.patch_u64(c.offset, c.value);
        else copy.patch_u32(c.offset, static_cast<std::uint32_t>(c.value));
        auto opened = open_logged(copy.path());
        ASSERT_TRUE(opened.graph) << c.name;
        EXPECT_EQ(warnings(opened.log), c.expected(copy.path().string())) << c.name;
        EXPECT_EQ(opened.graph->restriction_pairs().size(), c.pairs) << c.name;
        EXPECT_EQ(opened.graph->osm_triples().size(), c.triples) << c.name;
    }
}

TEST(GraphRestrictions, FileWithoutPayloadWarnsAndRoutesUnrestricted) {
    auto desc = testing::parse_graph_text(kRestricted);
    desc.write_restriction_payload = false;
    auto file = write_temp_graph(desc);
    auto opened = open_logged(file.path());
    ASSERT_TRUE(opened.graph);
    ASSERT_EQ(warnings(opened.log).size(), 1u);
    EXPECT_THAT(warnings(opened.log)[0], HasSubstr("restriction_payload_offset 0 invalid"));
    EXPECT_TRUE(opened.graph->restriction_pairs().empty());
}

TEST(GraphRestrictions, IgnoredBeforeVersion3) {
    auto desc = testing::parse_graph_text(kRestricted);
    desc.version = 2;
    auto file = write_temp_graph(desc);
    file.patch_u64(40, 12345);  // bytes 40..63 mean nothing before version 3
    file.patch_u32(48, 7);
    auto opened = open_logged(file.path());
    ASSERT_TRUE(opened.graph);
    EXPECT_TRUE(warnings(opened.log).empty());
    EXPECT_TRUE(opened.graph->restriction_pairs().empty());
}

// ---- edge decoding -----------------------------------------------------------------------------

TEST(GraphEdges, SlopeLengthOnlyInVersion1) {
    for (std::uint32_t version : {1u, 2u}) {
        auto file = write_temp_graph(with_version(version, R"(
            node 47 8
            node 47.01 8
            edge 0 1 3000 elev=1000,1400
            edge 1 0 3000
        )"));
        auto g = MappedGraph::open(file.path());
        ASSERT_TRUE(g);
        auto e = g->edge(0);
        ASSERT_TRUE(e);
        EXPECT_TRUE(e->has_elevation);
        EXPECT_FLOAT_EQ(e->elevation_from_m, 1000.0f);
        EXPECT_FLOAT_EQ(e->elevation_to_m, 1400.0f);
        if (version == 1) {
            EXPECT_NEAR(e->length_m, 3026.55, 0.005);
        } else {
            EXPECT_EQ(e->length_m, 3000.0f);
        }
        auto flat = g->edge(1);
        ASSERT_TRUE(flat);
        EXPECT_EQ(flat->length_m, 3000.0f);  // no elevation, no slope rule
    }
}

TEST(GraphEdges, LongLengthTable) {
    auto file = write_temp_graph(R"(
        version 5
        node 47 8
        node 47.01 8
        edge 0 1 6553.4
        edge 1 0 6553.5
        edge 0 1 80000.25
    )");
    ASSERT_EQ(file.layout().long_length_count, 2u);
    {
        auto g = MappedGraph::open(file.path());
        ASSERT_TRUE(g);
        EXPECT_FLOAT_EQ(g->edge(0)->length_m, 6553.4f);
        EXPECT_EQ(g->edge(1)->length_m, 80000.25f);
        EXPECT_EQ(g->edge(2)->length_m, 6553.5f);
    }
    // A long-length index equal to the table size decodes to 0, one below it to the entry.
    file.patch_u16(file.edge_record(1) + 4, 2);
    file.patch_u16(file.edge_record(2) + 4, 0);
    auto g = MappedGraph::open(file.path());
    ASSERT_TRUE(g);
    EXPECT_EQ(g->edge(1)->length_m, 0.0f);
    EXPECT_EQ(g->edge(2)->length_m, 80000.25f);
}

TEST(GraphEdges, ClassCountryFlagsAndAccess) {
    auto file = write_temp_graph(R"(
        version 5
        node 47 8
        node 47.01 8
        edge 0 1 12.3 class=living_street country=TR speed=130 toll access=7
        edge 0 1 1 class=14 country=47 bit1
        edge 0 1 1 class=0 country=1 bit2 access=4
        edge 0 1 1 class=255 country=0 speed=0
        edge 1 0 1 country=34
    )");
    auto g = MappedGraph::open(file.path());
    ASSERT_TRUE(g);
    const struct {
        std::uint32_t edge;
        std::optional<std::string_view> road_class, country;
        std::uint8_t speed, access;
        bool toll, bit1, bit2;
    } cases[] = {
        {0, "living_street", "TR", 130, 7, true, false, false},
        {1, std::nullopt, std::nullopt, 0, 0, false, true, false},
        {2, "motorway", "AT", 0, 4, false, false, true},
        {3, std::nullopt, std::nullopt, 0, 0, false, false, false},
        {4, std::nullopt, "XK", 0, 0, false, false, false},
    };
    for (const auto& c : cases) {
        auto e = g->edge(c.edge);
        ASSERT_TRUE(e) << c.edge;
        EXPECT_EQ(e->road_class, c.road_class) << c.edge;
        EXPECT_EQ(e->country, c.country) << c.edge;
        EXPECT_EQ(e->maxspeed_kmh, c.speed) << c.edge;
        EXPECT_EQ(e->access_class, c.access) << c.edge;
        EXPECT_EQ(e->toll, c.toll) << c.edge;
        EXPECT_EQ(e->flag_bit1, c.bit1) << c.edge;
        EXPECT_EQ(e->flag_bit2, c.bit2) << c.edge;
        EXPECT_FALSE(e->has_elevation) << c.edge;
    }
    EXPECT_FLOAT_EQ(g->edge(0)->length_m, 12.3f);
    EXPECT_EQ(g->edge(0)->target, 1u);
    EXPECT_EQ(g->edge(4)->target, 0u);
}

TEST(GraphEdges, ExtensionFieldsByRecordSize) {
    const std::string body = R"(
        node 47 8
        node 47.01 8
        edge 0 1 10 ext14=0xA1B2C3D4 ext18=0x0102030405060708 ext26=77 ext30=200
        edge 1 0 10
    )";
    const struct {
        std::uint32_t version;
        std::uint32_t w14;
        std::uint64_t b18;
        std::uint32_t w26;
        std::uint8_t b30;
    } cases[] = {
        {5, 0, 0, 0, 0},
        {6, 0xA1B2C3D4u, 0, 0, 0},
        {7, 0xA1B2C3D4u, 0x0102030405060708ull, 77, 200},
    };
    for (const auto& c : cases) {
        auto file = write_temp_graph(with_version(c.version, body));
        auto g = MappedGraph::open(file.path());
        ASSERT_TRUE(g);
        auto e = g->edge(0);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->ext_word_14, c.w14) << c.version;
        EXPECT_EQ(e->ext_bytes_18, c.b18) << c.version;
        EXPECT_EQ(e->ext_word_26, c.w26) << c.version;
        EXPECT_EQ(e->ext_byte_30, c.b30) << c.version;
    }
}

TEST(GraphEdges, EdgeIndexOutOfRangeIsAnError) {
    auto file = write_temp_graph(with_version(7, kTriangle));
    auto g = MappedGraph::open(file.path());
    ASSERT_TRUE(g);
    auto e = g->edge(6);
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error().message, "Edge index 6 out of range (the file has 6 edges)");
}

// ---- nodes, ranges and incoming entries ----------------------------------------------------------

TEST(GraphTopology, OutRangesEdgeSourceAndIncoming) {
    for (std::uint32_t version : {3u, 7u}) {
        // Node 1 has no out-edges; node 3 none either (the last node ends at edge_count).
        auto file = write_temp_graph(with_version(version, R"(
            node 47.000 8.000 osm=100
            node 47.001 8.000 osm=101
            node 47.002 8.000 osm=102
            node 47.003 8.000 osm=103
            edge 2 1 10
            edge 0 1 10
            edge 0 1 11
            edge 2 3 10
            edge 0 3 10
        )"));
        auto g = MappedGraph::open(file.path());
        ASSERT_TRUE(g);
        const std::uint32_t expected_begin[] = {0, 3, 3, 5};
        const std::uint32_t expected_end[] = {3, 3, 5, 5};
        for (std::uint32_t v = 0; v < 4; ++v) {
            auto range = g->out_edges(v);
            ASSERT_TRUE(range);
            EXPECT_EQ(range->begin_edge, expected_begin[v]) << v;
            EXPECT_EQ(range->end_edge, expected_end[v]) << v;
        }
        const std::uint32_t sources[] = {0, 0, 0, 2, 2};
        for (std::uint32_t e = 0; e < 5; ++e) EXPECT_EQ(g->edge_source(e), sources[e]) << e;

        // Input order within one source is kept: file edges 0, 1, 2 are input edges 1, 2, 4.
        EXPECT_EQ(file.layout().file_edge_index, (std::vector<std::uint32_t>{3, 0, 1, 4, 2}));

        auto in1 = g->incoming(1);
        ASSERT_TRUE(in1);
        std::vector<IncomingEntry> entries(in1->begin(), in1->end());
        EXPECT_THAT(entries, ElementsAre(IncomingEntry{0, 0}, IncomingEntry{0, 1}, IncomingEntry{2, 3}));
        auto in0 = g->incoming(0);
        ASSERT_TRUE(in0);
        EXPECT_TRUE(in0->empty()) << "no edge enters node 0";

        // Two edges from the same source: the first entry wins.
        auto from_source = g->incoming_edge_idx_from_source_osm(1, 100);
        ASSERT_TRUE(from_source);
        EXPECT_EQ(*from_source, std::optional<std::uint32_t>(0));
        EXPECT_EQ(*g->incoming_edge_idx_from_source_osm(1, 102), std::optional<std::uint32_t>(3));
        EXPECT_EQ(*g->incoming_edge_idx_from_source_osm(1, 103), std::nullopt);

        EXPECT_EQ(g->node_osm_id(3), 103);
        EXPECT_EQ(g->node_coord(2).lat, 47.002f);
        EXPECT_EQ(g->node_coord(2).lon, 8.0f);
    }
}

TEST(GraphTopology, EdgeSourceOfSingleNodeGraph) {
    auto file = write_temp_graph(with_version(7, "node 47 8\nedge 0 0 5\n"));
    auto g = MappedGraph::open(file.path());
    ASSERT_TRUE(g);
    EXPECT_EQ(g->edge_source(0), 0u);
}

// ---- main component ----------------------------------------------------------------------------------

TEST(GraphComponent, SeedWithHighestIndexOnTie) {
    // a <-> b, c -> a: every out-degree is 1, so c is the seed and the component is {c} alone.
    auto file = write_temp_graph(with_version(4, R"(
        node 47.000 8.000
        node 47.001 8.000
        node 47.002 8.000
        edge 0 1 10
        edge 1 0 10
        edge 2 0 10
    )"));
    auto opened = open_logged(file.path());
    ASSERT_TRUE(opened.graph);
    const std::regex line(
        R"(INFO quorvel_routing::graph: Main SCC: 1 nodes \(33\.3%\), fwd-reach=3, bwd-reach=1, computed in \d+\.\dms)");
    EXPECT_TRUE(std::regex_match(opened.log.back(), line)) << opened.log.back();
    EXPECT_FALSE(opened.graph->in_main_component(0));
    EXPECT_FALSE(opened.graph->in_main_component(1));
    EXPECT_TRUE(opened.graph->in_main_component(2));
    EXPECT_EQ(opened.graph->main_component_count(), 1u);
    // Node 2 is in the component but nothing enters it.
    EXPECT_FALSE(opened.graph->is_routable(2));
}

TEST(GraphComponent, SeedIsTheLargestOutDegree) {
    // Node 0 has out-degree 3; the component of 0 is {0, 1}, the larger cycle 2-3-4 is not chosen.
    const std::string body = R"(
        node 47.000 8.000
        node 47.001 8.000
        node 47.002 8.000
        node 47.003 8.000
        node 47.004 8.000
        edge 0 1 10
        edge 0 2 10
        edge 0 3 10
        edge 1 0 10
        edge 2 3 10
        edge 3 4 10
        edge 4 2 10
    )";
    for (std::uint32_t version : {3u, 7u}) {  // computed at open, and embedded by our writer
        auto file = write_temp_graph(with_version(version, body));
        auto g = MappedGraph::open(file.path());
        ASSERT_TRUE(g);
        EXPECT_EQ(g->main_component_count(), 2u) << version;
        EXPECT_TRUE(g->in_main_component(0));
        EXPECT_TRUE(g->in_main_component(1));
        EXPECT_FALSE(g->in_main_component(2));
        EXPECT_TRUE(g->is_routable(0));
        EXPECT_FALSE(g->is_routable(3));
    }
}

// ---- string pools ----------------------------------------------------------------------------------------

TEST(GraphPools, LocatedInOrderAndSkippedWhenMissing) {
    const std::string base = with_version(7, kTriangle);
    {
        auto file = write_temp_graph(base + "pool TREF a bb\npool TNAM x\npool TDST\npool TJXR jj kk ll\n");
        auto g = MappedGraph::open(file.path());
        ASSERT_TRUE(g);
        const auto& offsets = file.layout().string_pool_offsets;
        for (auto kind : {StringPoolKind::Tref, StringPoolKind::Tnam, StringPoolKind::Tdst, StringPoolKind::Tjxr}) {
            auto pool = g->string_pool(kind);
            ASSERT_TRUE(pool);
            EXPECT_EQ(pool->start, *offsets[static_cast<int>(kind)]);
        }
        auto tref = *g->string_pool(StringPoolKind::Tref);
        EXPECT_EQ(tref.entry_count, 2u);
        EXPECT_EQ(tref.offsets_start, tref.start + 8);
        EXPECT_EQ(tref.data_start, tref.start + 12 + 8);
        EXPECT_EQ(tref.end, tref.data_start + 3);
        EXPECT_EQ(g->string_pool(StringPoolKind::Tnam)->start, tref.end);
        EXPECT_EQ(g->string_pool(StringPoolKind::Tjxr)->entry_count, 3u);
        EXPECT_EQ(g->string_pool(StringPoolKind::Tjxr)->end, g->file_size());
    }
    {
        // No TNAM pool: TDST sits where TNAM was expected and is still found.
        auto file = write_temp_graph(base + "pool TREF a\npool TDST d\npool TJXR j\n");
        auto g = MappedGraph::open(file.path());
        ASSERT_TRUE(g);
        EXPECT_FALSE(g->string_pool(StringPoolKind::Tnam));
        ASSERT_TRUE(g->string_pool(StringPoolKind::Tdst));
        EXPECT_EQ(g->string_pool(StringPoolKind::Tdst)->start, g->string_pool(StringPoolKind::Tref)->end);
        EXPECT_TRUE(g->string_pool(StringPoolKind::Tjxr));
    }
    {
        // A pool whose data area runs past the end of the file is absent; without TREF nothing else is looked for.
        auto file = write_temp_graph(base + "pool TREF abc\npool TNAM n\n");
        const auto tref = *file.layout().string_pool_offsets[0];
        file.patch_u32(tref + 8 + 4, 1000);
        auto g = MappedGraph::open(file.path());
        ASSERT_TRUE(g);
        EXPECT_FALSE(g->string_pool(StringPoolKind::Tref));
        EXPECT_FALSE(g->string_pool(StringPoolKind::Tnam));
    }
    {
        // Version 6 carries TREF only.
        auto file = write_temp_graph(with_version(6, kTriangle) + "pool TREF r\n");
        auto g = MappedGraph::open(file.path());
        ASSERT_TRUE(g);
        EXPECT_TRUE(g->string_pool(StringPoolKind::Tref));
    }
}

TEST(GraphPools, TrefNeedsAValidComponentHeaderButNotItsBitset) {
    auto file = write_temp_graph(with_version(7, kTriangle) + "pool TREF a\n");
    const auto mccm = file.layout().main_component_offset;
    {
        auto copy = write_temp_bytes(file.read_all());
        copy.patch_u32(mccm + 4, 9);  // node count wrong: no TREF
        auto g = MappedGraph::open(copy.path());
        ASSERT_TRUE(g);
        EXPECT_FALSE(g->string_pool(StringPoolKind::Tref));
    }
    {
        auto copy = write_temp_bytes(file.read_all());
        copy.patch_u32(file.layout().reverse_csr_offset, 0);  // RCSR tag wrong: TREF still found
        auto g = MappedGraph::open(copy.path());
        ASSERT_TRUE(g);
        EXPECT_TRUE(g->string_pool(StringPoolKind::Tref));
    }
}

}  // namespace
}  // namespace quorvel_routing
