// calculate-fast with addresses resolved through the real PostGIS of the test harness.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <regex>

#include "pg_harness.hpp"
#include "quorvel_routing/graph_writer.hpp"
#include "run_binary.hpp"

namespace qr = quorvel_routing;
using route_calculator::testing::run_tool;
using route_calculator::testing::TempDir;
using route_calculator::testing::write_file;

namespace {

class CalculateFastAddress : public qr_test::DatabaseTest {
protected:
    TempDir dir;

    void SetUp() override {
        DatabaseTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(sql().exec_script(
                             "TRUNCATE address_points;"
                             "INSERT INTO address_points (lat, lon, name, street, housenumber, postcode, city, geometry) VALUES"
                             " (42.5, 1.50390625, 'Casa Rull', 'Carrer Major', '5', 'AD300', 'Ordino',"
                             "  'SRID=4326;POINT(1.50390625 42.5)'),"
                             " (42.5, 1.51171875, 'Borda Vella', NULL, NULL, NULL, NULL,"
                             "  'SRID=4326;POINT(1.51171875 42.5)')")
                        .has_value());

        qr::GraphDescription g;
        for (int k = 0; k < 4; ++k) g.nodes.push_back({42.5f, 1.5f + k / 256.0f, 1000 + k});
        for (std::uint32_t k = 0; k < 3; ++k) {
            for (auto [a, b] : {std::pair{k, k + 1}, std::pair{k + 1, k}}) {
                qr::GraphWriterEdge e;
                e.from = a;
                e.to = b;
                e.length_m = 330.0f;
                e.road_class = *qr::road_class_code("residential");
                g.edges.push_back(e);
            }
        }
        ASSERT_TRUE(qr::write_graph_file(dir.path() / "graph.bin", g).has_value());
        auto c = connection();
        write_file(dir.path() / "config" / "database.yaml",
                   fmt::format("local:\n  host: '{}'\n  port: {}\n  user: '{}'\n  password: '{}'\n  database: '{}'\n",
                               c.host, c.port, c.user, c.password, c.database));
        write_file(dir.path() / "config" / "navigation.yaml",
                   "route:\n  start: {latitude: 42.5, longitude: 1.5}\n  end: {latitude: 42.5, longitude: 1.5078125}\n");
        write_file(dir.path() / "config" / "vehicles" / "tandrel.yaml", "{}\n");
    }

    route_calculator::testing::RunResult run(std::vector<std::string> extra) {
        std::vector<std::string> args{"calculate-fast", "-g", (dir.path() / "graph.bin").string(), "-t", "local"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_tool(args, {{"ROUTE_CALCULATOR_LOG", "route_calculator=info"}}, dir.path());
    }
};

std::string log_lines(const std::string& out) {
    static const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z  INFO route_calculator: )",
                                   std::regex::multiline);
    return std::regex_replace(out, prefix, "");
}

}  // namespace

TEST_F(CalculateFastAddress, AddressesWinOverCoordinates) {
    auto r = run({"--start-lat", "42.6", "--start-lon", "1.6", "--start-address", "Casa Rull", "--end-address",
                  "Borda Vella"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string lines = log_lines(r.out);
    EXPECT_NE(lines.find("Resolved start: \"Casa Rull\" -> (42.5, 1.50390625) 'Casa Rull, Carrer Major 5, AD300 Ordino'\n"
                         "Resolved end: \"Borda Vella\" -> (42.5, 1.51171875) 'Borda Vella'\n"
                         "Route: (42.5, 1.50390625) -> (42.5, 1.51171875)\n"),
              std::string::npos)
        << lines;
    EXPECT_NE(r.out.find("Start: (42.5, 1.50390625)\nEnd: (42.5, 1.51171875)\nRoute nodes: 3\n"), std::string::npos);
}

TEST_F(CalculateFastAddress, UnknownAddressFails) {
    auto r = run({"--end-address", "12345"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: No match found for address: '12345'\n");
}

TEST_F(CalculateFastAddress, ConnectionFailureNamesTheServer) {
    write_file(dir.path() / "config" / "database.yaml",
               "local:\n  host: 127.0.0.1\n  port: 1\n  user: nobody\n  password: x\n  database: none\n");
    auto r = run({"--start-address", "Casa Rull"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("Error: Failed to connect to database at 127.0.0.1:1\n\nCaused by:\n    ")) << r.err;
}
