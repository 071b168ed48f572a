// calculate-fast end to end: the built binary on graph files written by our writer.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "commands.hpp"
#include "quorvel_routing/graph_writer.hpp"
#include "run_binary.hpp"

namespace qr = quorvel_routing;
using route_calculator::testing::RunResult;
using route_calculator::testing::run_tool;
using route_calculator::testing::TempDir;
using route_calculator::testing::write_file;

namespace {

// Nodes on the parallel 42.5 N, 1/256 degree (about 320 m) apart: every coordinate is exact in
// 32 bits, so the file and the expected texts agree digit for digit.
constexpr float kLat = 42.5f;
float lon_at(int k) { return 1.5f + static_cast<float>(k) / 256.0f; }

// Great-circle distance on the 6 371 km sphere, written out here independently of the library.
double great_circle_m(double lat1, double lon1, double lat2, double lon2) {
    constexpr double rad = 0.017453292519943295;
    double dlat = (lat2 - lat1) * rad, dlon = (lon2 - lon1) * rad;
    double a = std::sin(dlat / 2) * std::sin(dlat / 2) +
               std::cos(lat1 * rad) * std::cos(lat2 * rad) * std::sin(dlon / 2) * std::sin(dlon / 2);
    return 12742000.0 * std::asin(std::sqrt(a));
}

qr::GraphWriterEdge road(std::uint32_t from, std::uint32_t to, float length_m) {
    qr::GraphWriterEdge e;
    e.from = from;
    e.to = to;
    e.length_m = length_m;
    e.road_class = *qr::road_class_code("residential");
    e.country = *qr::country_value("AD");
    return e;
}

void both_ways(qr::GraphDescription& g, std::uint32_t a, std::uint32_t b, float length_m) {
    g.edges.push_back(road(a, b, length_m));
    g.edges.push_back(road(b, a, length_m));
}

// A line of four nodes with elevations 1000, 1010, 1005, 1020 m on its edges; 330 m edges.
qr::GraphDescription line_graph(bool with_elevation) {
    qr::GraphDescription g;
    g.cell_size_deg = 0.01f;
    const float elevation[] = {1000.0f, 1010.0f, 1005.0f, 1020.0f};
    for (int k = 0; k < 4; ++k) g.nodes.push_back({kLat, lon_at(k), 1000 + k});
    for (std::uint32_t k = 0; k < 3; ++k) {
        both_ways(g, k, k + 1, 330.0f);
        if (with_elevation) {
            auto& fwd = g.edges[g.edges.size() - 2];
            auto& back = g.edges.back();
            fwd.has_elevation = back.has_elevation = true;
            fwd.elevation_from_m = back.elevation_to_m = elevation[k];
            fwd.elevation_to_m = back.elevation_from_m = elevation[k + 1];
        }
    }
    return g;
}

struct Fixture {
    TempDir dir;
    std::string graph() const { return (dir.path() / "graph.bin").string(); }
    std::string config() const { return (dir.path() / "config").string(); }

    explicit Fixture(const qr::GraphDescription& g, const std::string& navigation) {
        auto written = qr::write_graph_file(dir.path() / "graph.bin", g);
        EXPECT_TRUE(written.has_value()) << written.error().message;
        write_file(dir.path() / "config" / "database.yaml", "{}\n");
        write_file(dir.path() / "config" / "navigation.yaml", navigation);
        write_file(dir.path() / "config" / "vehicles" / "tandrel.yaml", "{}\n");
    }
    RunResult run(std::vector<std::string> extra, std::map<std::string, std::string> env = {}) const {
        std::vector<std::string> args{"calculate-fast", "-g", graph(), "--config-dir", config()};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_tool(args, env, dir.path());
    }
};

std::string navigation(double start_lon, double end_lon) {
    return fmt::format("route:\n  start: {{latitude: 42.5, longitude: {}}}\n  end: {{latitude: 42.5, longitude: {}}}\n",
                       start_lon, end_lon);
}

// The two timing lines differ from run to run.
std::string without_timings(const std::string& text) {
    static const std::regex timing(R"((Route time|Total time): [0-9]+\.[0-9] ms)");
    static const std::regex json_time(R"("route_time_ms": [0-9.e+-]+)");
    return std::regex_replace(std::regex_replace(text, timing, "$1: T ms"), json_time, "\"route_time_ms\": T");
}

std::string without_log_prefixes(const std::string& text) {
    static const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z )", std::regex::multiline);
    return std::regex_replace(text, prefix, "");
}

std::string km2(double m) { return fmt::format("{:.2f}", m / 1000.0); }

}  // namespace

TEST(CalculateFast, ConfiguredRouteWithElevation) {
    Fixture f(line_graph(true), navigation(1.5, 1.51171875));
    auto r = f.run({"-o", "route.geojson"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    double distance = 0;
    for (int k = 0; k < 3; ++k) distance += great_circle_m(kLat, lon_at(k), kLat, lon_at(k + 1));
    EXPECT_EQ(without_timings(r.out),
              "\n=== Route Calculation Results (Fast) ===\n"
              "Profile: car-fast (time (seconds))\n"
              "Start: (42.5, 1.5)\n"
              "End: (42.5, 1.51171875)\n"
              "Route nodes: 4\n"
              "Total distance: " + km2(distance) + " km\n"
              "Total cost: 118.8 time (seconds)\n"
              "Nodes explored: " + std::regex_replace(r.out, std::regex(R"([\s\S]*Nodes explored: (\d+)[\s\S]*)"), "$1") + "\n"
              "Route time: T ms\n"
              "Total time: T ms\n"
              "\n"
              "--- Elevation Profile ---\n"
              "Total ascent:    25 m\n"
              "Total descent:   5 m\n"
              "Min elevation:   1005 m\n"
              "Max elevation:   1020 m\n"
              "\n"
              "Route saved to route.geojson\n");

    std::string explored = std::regex_replace(r.out, std::regex(R"([\s\S]*Nodes explored: (\d+)[\s\S]*)"), "$1");
    std::string geojson = route_calculator::testing::read_file(f.dir.path() / "route.geojson");
    const std::string expected_geojson = R"J({
  "features": [
    {
      "geometry": {
        "coordinates": [
          [
            1.5,
            42.5
          ],
          [
            1.50390625,
            42.5,
            1010.0
          ],
          [
            1.5078125,
            42.5,
            1005.0
          ],
          [
            1.51171875,
            42.5,
            1020.0
          ]
        ],
        "type": "LineString"
      },
      "properties": {
        "cost_unit": "time (seconds)",
        "distance_km": )J" + nlohmann::json(std::round(distance / 1000.0 * 100) / 100).dump() + R"J(,
        "end": [
          1.51171875,
          42.5
        ],
        "max_elevation_m": 1020.0,
        "min_elevation_m": 1005.0,
        "nodes_explored": )J" + explored + R"J(,
        "profile": "car-fast",
        "route_nodes": 4,
        "route_time_ms": T,
        "start": [
          1.5,
          42.5
        ],
        "total_ascent_m": 25.0,
        "total_cost": 118.8,
        "total_descent_m": 5.0
      },
      "type": "Feature"
    }
  ],
  "type": "FeatureCollection"
})J";
    EXPECT_EQ(without_timings(geojson), expected_geojson);
}

TEST(CalculateFast, OneNodeRouteHasNoElevationBlock) {
    Fixture f(line_graph(true), navigation(1.5078125, 1.5078125));
    auto r = f.run({"--output", "one.geojson"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(without_timings(r.out),
              "\n=== Route Calculation Results (Fast) ===\n"
              "Profile: car-fast (time (seconds))\n"
              "Start: (42.5, 1.5078125)\n"
              "End: (42.5, 1.5078125)\n"
              "Route nodes: 1\n"
              "Total distance: 0.00 km\n"
              "Total cost: 0.0 time (seconds)\n"
              "Nodes explored: " + std::regex_replace(r.out, std::regex(R"([\s\S]*Nodes explored: (\d+)[\s\S]*)"), "$1") + "\n"
              "Route time: T ms\n"
              "Total time: T ms\n"
              "\n"
              "Route saved to one.geojson\n");
    std::string geojson = route_calculator::testing::read_file(f.dir.path() / "one.geojson");
    EXPECT_NE(geojson.find("\"coordinates\": [\n          [\n            1.5078125,\n            42.5\n          ]\n        ]"),
              std::string::npos)
        << geojson;
    EXPECT_EQ(geojson.find("elevation"), std::string::npos);
    EXPECT_EQ(geojson.find("ascent"), std::string::npos);
    EXPECT_NE(geojson.back(), '\n');
}

TEST(CalculateFast, PointsFromCommandLineAndTheZeroRule) {
    Fixture f(line_graph(false), navigation(1.5, 1.51171875));
    // 0/0 means "not given": the configured start is used.
    auto zero = f.run({"--start-lat", "0", "--start-lon", "0", "--end-lat", "42.5", "--end-lon", "1.50390625"});
    ASSERT_EQ(zero.status, 0) << zero.err;
    EXPECT_NE(zero.out.find("Start: (42.5, 1.5)\nEnd: (42.5, 1.50390625)\nRoute nodes: 2\n"), std::string::npos)
        << zero.out;
    EXPECT_EQ(zero.out.find("Elevation"), std::string::npos);

    // Half a point is kept as given, and (47.5, 0) lies outside the grid.
    auto half = f.run({"--start-lat", "47.5"});
    EXPECT_EQ(half.status, 1);
    EXPECT_EQ(half.out, "");
    EXPECT_EQ(half.err, "Error: No routable node near start (47.5, 0)\n");

    auto end_far = f.run({"--end-lat=-10", "--end-lon", "1.5"});
    EXPECT_EQ(end_far.status, 1);
    EXPECT_EQ(end_far.err, "Error: No routable node near end (-10, 1.5)\n");
}

TEST(CalculateFast, SnappingFallsBackTo2000Metres) {
    Fixture f(line_graph(false), navigation(1.5, 1.51171875));
    // 600 m north of node 0: nothing within 500 m, the nearest search within 2000 m finds it.
    double north_600 = 42.5 + 600.0 / 111194.93;
    auto near = f.run({"--start-lat", fmt::format("{}", north_600), "--start-lon", "1.5"},
                      {{"ROUTE_CALCULATOR_LOG", "info"}});
    ASSERT_EQ(near.status, 0) << near.err;
    EXPECT_NE(without_log_prefixes(near.out).find(" INFO route_calculator:   Start node: idx=0 (OSM 1000), 600.0m away, degree=1\n"),
              std::string::npos)
        << near.out;
    double north_2500 = 42.5 + 2500.0 / 111194.93;
    auto far = f.run({"--start-lat", fmt::format("{}", north_2500), "--start-lon", "1.5"});
    EXPECT_EQ(far.status, 1);
    EXPECT_EQ(far.err, fmt::format("Error: No routable node near start ({}, 1.5)\n", north_2500));
}

TEST(CalculateFast, LogLinesOfARun) {
    Fixture f(line_graph(false), navigation(1.5, 1.51171875));
    auto r = f.run({"--profile", "Car-Fast", "--max-steps", "1000"}, {{"ROUTE_CALCULATOR_LOG", "info"}});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string lines = without_log_prefixes(r.out);
    lines = std::regex_replace(lines, std::regex(R"(\d+\.\dms)"), "Tms");
    lines = std::regex_replace(lines, std::regex(R"(\(\d+ nodes explored\))"), "(N nodes explored)");
    std::string expected_head =
        " INFO route_calculator: Opening graph file: " + f.graph() + "\n";
    EXPECT_TRUE(lines.starts_with(expected_head)) << lines;
    for (const char* line : {
             " WARN quorvel_routing::profile: Unknown profile 'Car-Fast', falling back to car-fast\n",
             " INFO route_calculator: Route: (42.5, 1.5) -> (42.5, 1.51171875)\n",
             " INFO route_calculator: Using profile: car-fast (time (seconds))\n",
             " INFO route_calculator: Finding nearest nodes...\n",
             " INFO route_calculator:   Start node: idx=0 (OSM 1000), 0.0m away, degree=1\n",
             " INFO route_calculator:   End node: idx=3 (OSM 1003), 0.0m away, degree=1\n",
             " INFO route_calculator:   Nearest-node lookup: Tms\n",
             " INFO route_calculator: Computing route (bidirectional A*, max 1000 steps)...\n",
             " INFO route_calculator: Route found in Tms (N nodes explored)\n",
         })
        EXPECT_NE(lines.find(line), std::string::npos) << line << "\n--- in ---\n" << lines;
    EXPECT_NE(r.out.find("Profile: car-fast (time (seconds))\n"), std::string::npos);
}

TEST(CalculateFast, TollAvoidanceAndRouteFailure) {
    qr::GraphDescription g = line_graph(false);
    for (auto& e : g.edges)
        if ((e.from == 1 && e.to == 2) || (e.from == 2 && e.to == 1)) e.toll = true;
    Fixture f(g, navigation(1.5, 1.51171875));

    auto allowed = f.run({});
    ASSERT_EQ(allowed.status, 0) << allowed.err;
    EXPECT_NE(allowed.out.find("Route nodes: 4\n"), std::string::npos);

    auto avoided = f.run({"--avoid-tolls", "ad"});
    EXPECT_EQ(avoided.status, 1);
    EXPECT_EQ(avoided.err,
              "Error: No route between nodes 1000 and 1003: No drivable route found between these points on the "
              "loaded map (disconnected network or impassable roads).\n");

    auto all_allowed = f.run({"--avoid-tolls", "AD", "--allow-all-tolls"});
    EXPECT_EQ(all_allowed.status, 0) << all_allowed.err;

    auto budget = f.run({"--max-steps", "1"});
    EXPECT_EQ(budget.status, 1);
    EXPECT_EQ(budget.err,
              "Error: No route between nodes 1000 and 1003: Route search hit the step budget (1). The trip may be too "
              "long for this limit\u2014try increasing MaxSteps or splitting into shorter legs.\n");
}

TEST(CalculateFast, OutputIntoMissingDirectoryFailsAfterTheReport) {
    Fixture f(line_graph(false), navigation(1.5, 1.51171875));
    auto r = f.run({"-o", "missing/dir/route.geojson"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("=== Route Calculation Results (Fast) ==="), std::string::npos);
    EXPECT_EQ(r.out.find("Route saved"), std::string::npos);
    EXPECT_EQ(r.err, "Error: No such file or directory (os error 2)\n");
}

TEST(CalculateFast, CarRoutesNeverTouchTheDatabase) {
    // The target is invalid and database.yaml is empty: a car route between coordinates works.
    Fixture f(line_graph(false), navigation(1.5, 1.51171875));
    auto r = f.run({"--target", "nowhere"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto address = f.run({"--target", "nowhere", "--start-address", "Main St"});
    EXPECT_EQ(address.status, 1);
    EXPECT_EQ(address.err, "Error: Invalid target 'nowhere'. Use 'master', 'production', or 'local'\n");
}

TEST(CalculateFast, MissingGraphFile) {
    Fixture f(line_graph(false), navigation(1.5, 1.51171875));
    auto r = run_tool({"calculate-fast", "-g", "absent.bin", "--config-dir", f.config()}, {}, f.dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("Error: ")) << r.err;
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

// ---- snapping --------------------------------------------------------------------------------

namespace {

// A hub Q with two-way roads and a leaf P west of the query point X on the parallel 42.5.
struct SnapCase {
    double leaf_m;          // distance of P (out-degree 1) west of X
    double hub_m;           // distance of Q east of X
    bool hub_degree_two;    // Q has two out-edges instead of three
    std::uint32_t expected; // 0 = P, 1 = Q
};

constexpr double kMetresPerDegreeLon = 6371000.0 * 0.017453292519943295 * 0.7372773368101240;  // cos(42.5)

}  // namespace

TEST(SnapToBestNode, OutDegreePenalty) {
    const SnapCase cases[] = {
        {120.0, 150.0, false, 1},  // scores 220 and 150
        {10.0, 150.0, true, 0},    // 110 < 150
        {40.0, 150.0, false, 0},   // 140 < 150
        {300.0, 450.0, true, 0},   // 400 < 450: the leaf wins
        {360.0, 450.0, false, 1},  // 460 > 450: the hub wins
    };
    for (const auto& c : cases) {
        const double x_lon = 1.5;
        qr::GraphDescription g;
        float p_lon = static_cast<float>(x_lon - c.leaf_m / kMetresPerDegreeLon);
        float q_lon = static_cast<float>(x_lon + c.hub_m / kMetresPerDegreeLon);
        g.nodes.push_back({kLat, p_lon, 1});          // P
        g.nodes.push_back({kLat, q_lon, 2});          // Q
        g.nodes.push_back({kLat + 0.01f, q_lon, 3});  // R, about 1.1 km north of Q
        g.nodes.push_back({kLat - 0.01f, q_lon, 4});  // S, about 1.1 km south of Q
        both_ways(g, 0, 1, 1000.0f);
        both_ways(g, 1, 2, 2000.0f);
        if (c.hub_degree_two) both_ways(g, 2, 3, 3000.0f);
        else both_ways(g, 1, 3, 2000.0f);
        TempDir dir;
        ASSERT_TRUE(qr::write_graph_file(dir.path() / "g.bin", g).has_value());
        auto graph = qr::MappedGraph::open(dir.path() / "g.bin");
        ASSERT_TRUE(graph.has_value()) << graph.error().message;
        auto routable = [&](std::uint32_t n) { return graph->is_routable(n); };
        auto chosen = route_calculator::snap_to_best_node(*graph, routable, 42.5, x_lon);
        ASSERT_TRUE(chosen.has_value());
        ASSERT_TRUE(chosen->has_value());
        EXPECT_EQ(**chosen, c.expected) << c.leaf_m << " m leaf vs " << c.hub_m << " m hub";
    }
}
