// The built binary: usage, the summary, and bad input (unreadable, non-OSM, truncated files,
// a database that is down) failing with a clear error and without touching the outputs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "graph_fixtures.hpp"
#include "quorvel_routing/graph.hpp"

namespace qr = quorvel_routing;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const std::string kSmall = std::string(GI_TEST_DATA_DIR) + "/small.osm";

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

// Runs the binary with `args` (already quoted where needed) under `env` assignments.
RunResult run(const qr::testing::TempDir& dir, const std::string& args, const std::string& env = "") {
    const auto out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
    std::string cmd = fmt::format("cd '{}' && env NO_COLOR=1 {} '{}' {} >'{}' 2>'{}'", dir.path().string(), env,
                                  GRAVIX_IMPORT_BIN, args, out.string(), err.string());
    int raw = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = read_file(out);
    r.err = read_file(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> files_in(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Cli, NothingToDoIsAUsageError) {
    qr::testing::TempDir dir;
    RunResult r = run(dir, "'" + kSmall + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Nothing to do: give --graph-file PATH, --database or both\nRun with --help for more information.\n");
    EXPECT_EQ(run(dir, "--graph-file g.bin").status, 106);  // CLI11: the input is required
    EXPECT_EQ(run(dir, "'" + kSmall + "' --graph-file g.bin --graph-version 8").status, 105);
    RunResult country = run(dir, "'" + kSmall + "' --graph-file g.bin --country Andorra");
    EXPECT_EQ(country.status, 1);
    EXPECT_EQ(country.err, "Error: Invalid country code 'Andorra' (expected two letters, e.g. AD)\n");
}

TEST(Cli, ImportsTheFixtureAndSummarises) {
    qr::testing::TempDir dir;
    RunResult r = run(dir, fmt::format("'{}' --graph-file small.bin --graph-version 7 --country fr", kSmall));
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 12u) << r.out;
    EXPECT_THAT(lines[0], StartsWith("Imported " + kSmall + " in "));
    EXPECT_EQ(lines[1], "  road ways:          9");
    EXPECT_EQ(lines[2], "  nodes:              10 (6 in the main component, 60.0%)");
    EXPECT_EQ(lines[3], "  edges:              17");
    EXPECT_EQ(lines[4], "  restrictions:       4 relations read, 2 used, 2 skipped; 3 pairs, 3 triples");
    EXPECT_EQ(lines[5], "  barriers:           0 on roads, restricting cars");
    EXPECT_EQ(lines[6], "  charging stations:  2");
    EXPECT_EQ(lines[7], "  addresses/places:   4");
    EXPECT_EQ(lines[8], "  country boundaries: 1");
    EXPECT_EQ(lines[9], "  elevation:          none (no --dem)");
    EXPECT_THAT(lines[10], StartsWith("  graph file:         small.bin (version 7, "));
    EXPECT_THAT(lines[11], StartsWith("  elapsed:            "));
    EXPECT_THAT(r.err, HasSubstr("Reading " + kSmall + "...\n"));
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"small.bin"});
    auto graph = qr::MappedGraph::open(dir.file("small.bin"));
    ASSERT_TRUE(graph.has_value());
    EXPECT_EQ(graph->edge_count(), 17u);
}

TEST(Cli, BadInputFailsAndKeepsTheOldGraphFile) {
    qr::testing::TempDir dir;
    { std::ofstream(dir.file("not-osm.osm.pbf")) << "this is not an OSM file, just some text\n"; }
    {
        // The first 200 kB of a real extract: the file ends inside a block.
        std::ifstream in(std::string(QR_SHARED_DATA_DIR) + "/andorra-2025-01-19.osm.pbf", std::ios::binary);
        std::string head(200000, '\0');
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        std::ofstream(dir.file("truncated.osm.pbf"), std::ios::binary) << head;
    }
    { std::ofstream(dir.file("empty.osm")) << "<?xml version='1.0'?><osm version='0.6'></osm>\n"; }
    { std::ofstream(dir.file("graph.bin")) << "the previous graph"; }
    struct Case {
        std::string input;
        std::string first_line;
    };
    const Case cases[] = {
        {"missing.osm.pbf", "Error: Failed to read OSM file missing.osm.pbf"},
        {"not-osm.osm.pbf", "Error: Failed to read OSM file not-osm.osm.pbf"},
        {"truncated.osm.pbf", "Error: Failed to read OSM file truncated.osm.pbf"},
        {"empty.osm", "Error: Failed to read OSM file empty.osm: it holds no OSM objects"},
        {std::string(GI_TEST_DATA_DIR) + "/missing-node.osm",
         "Error: Failed to read OSM file " + std::string(GI_TEST_DATA_DIR) + "/missing-node.osm"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        RunResult r = run(dir, fmt::format("'{}' --graph-file graph.bin", c.input));
        EXPECT_EQ(r.status, 1);
        auto lines = lines_of(r.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_THAT(lines, ::testing::Contains(c.first_line));
        EXPECT_EQ(read_file(dir.file("graph.bin")), "the previous graph");
        EXPECT_EQ(files_in(dir.path()),
                  (std::vector<std::string>{"empty.osm", "graph.bin", "not-osm.osm.pbf", "truncated.osm.pbf"}));
    }
}

TEST(Cli, DatabaseDownFailsBeforeAnyFileIsWritten) {
    qr::testing::TempDir dir;
    RunResult env = run(dir, fmt::format("'{}' --database --graph-file g.bin", kSmall),
                  "PGHOST=127.0.0.1 PGPORT=1 PGUSER=nobody PGDATABASE=nothing PGCONNECT_TIMEOUT=5");
    EXPECT_EQ(env.status, 1);
    EXPECT_THAT(env.err, HasSubstr("Error: Failed to connect to the database of the PG* environment variables\n"
                                   "\nCaused by:\n"));

    std::filesystem::create_directory(dir.file("config"));
    {
        std::ofstream(dir.file("config/database.yaml"))
            << "local:\n  host: 127.0.0.1\n  port: 1\n  user: nobody\n  password: x\n  database: nothing\n";
    }
    RunResult yaml = run(dir, fmt::format("'{}' --database --target local --graph-file g.bin", kSmall));
    EXPECT_EQ(yaml.status, 1);
    EXPECT_THAT(yaml.err, HasSubstr("Error: Failed to connect to database at 127.0.0.1:1\n\nCaused by:\n"));
    RunResult master = run(dir, fmt::format("'{}' --database --graph-file g.bin", kSmall));
    EXPECT_EQ(master.status, 1);
    EXPECT_THAT(master.err, HasSubstr("Error: 'master' database not configured"));
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"config"});
}

}  // namespace
