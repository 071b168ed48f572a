// The command-line grammar, and the driver's exit statuses and error report, end to end.
#include <gtest/gtest.h>

#include <cmath>

#include "cli.hpp"
#include "run_binary.hpp"

using namespace route_calculator;
using route_calculator::testing::run_tool;

namespace {

std::vector<std::string> words(std::initializer_list<const char*> rest) {
    std::vector<std::string> v{"route-calculator"};
    v.insert(v.end(), rest.begin(), rest.end());
    return v;
}

template <class T>
T parsed(std::initializer_list<const char*> rest) {
    auto outcome = Cli::try_parse(words(rest));
    if (auto* exit = std::get_if<ParseExit>(&outcome)) {
        ADD_FAILURE() << "parse failed: " << exit->err;
        return T{};
    }
    auto* cmd = std::get_if<T>(&std::get<Cli>(outcome).command);
    if (!cmd) {
        ADD_FAILURE() << "other command parsed";
        return T{};
    }
    return *cmd;
}

ParseExit exit_of(std::initializer_list<const char*> rest) {
    auto outcome = Cli::try_parse(words(rest));
    if (auto* exit = std::get_if<ParseExit>(&outcome)) return *exit;
    return ParseExit{-1, "", "parsed"};
}

}  // namespace

TEST(CommandLine, CalculateFastDefaults) {
    auto c = parsed<CalculateFast>({"calculate-fast"});
    EXPECT_EQ(c.graph_file, "routing_graph.bin");
    EXPECT_EQ(c.config_dir, "config");
    EXPECT_EQ(c.target, "master");
    EXPECT_EQ(c.profile, "car-fast");
    EXPECT_EQ(c.max_steps, 50'000'000u);
    EXPECT_FALSE(c.start_lat || c.start_lon || c.end_lat || c.end_lon || c.start_address || c.end_address);
    EXPECT_FALSE(c.avoid_tolls || c.initial_charge || c.min_charge || c.output);
    EXPECT_FALSE(c.allow_all_tolls);
}

TEST(CommandLine, CalculateAndAnalyseDefaults) {
    auto c = parsed<Calculate>({"calculate"});
    EXPECT_EQ(c.config_dir, "config");
    EXPECT_EQ(c.target, "master");
    EXPECT_EQ(c.bbox_margin, 0.1);
    EXPECT_FALSE(c.profile.has_value());
    EXPECT_FALSE(c.avoid_tolls || c.allow_tolls);
    auto a = parsed<Analyse>({"analyse"});
    EXPECT_EQ(a.config_dir, "config");
    EXPECT_FALSE(a.bbox_margin || a.output);
}

TEST(CommandLine, EveryOptionReachesItsField) {
    auto c = parsed<CalculateFast>({"calculate-fast", "-g", "g.bin", "--config-dir", "cfg", "-t", "local",
                                    "--start-lat", "42.5", "--start-lon=-0.5", "--end-lat", "1e-3", "--end-lon", "+7",
                                    "--start-address", "Main St", "--end-address", "O'Brien", "--profile", "ev-default",
                                    "--allow-all-tolls", "--initial-charge", "50", "--min-charge", "inf", "-o",
                                    "out.geojson", "--max-steps", "+12"});
    EXPECT_EQ(c.graph_file, "g.bin");
    EXPECT_EQ(c.config_dir, "cfg");
    EXPECT_EQ(c.target, "local");
    EXPECT_EQ(c.start_lat, 42.5);
    EXPECT_EQ(c.start_lon, -0.5);
    EXPECT_EQ(c.end_lat, 0.001);
    EXPECT_EQ(c.end_lon, 7.0);
    EXPECT_EQ(c.start_address, "Main St");
    EXPECT_EQ(c.end_address, "O'Brien");
    EXPECT_EQ(c.profile, "ev-default");
    EXPECT_TRUE(c.allow_all_tolls);
    EXPECT_EQ(c.initial_charge, 50.0);
    EXPECT_TRUE(std::isinf(*c.min_charge));
    EXPECT_EQ(c.output, "out.geojson");
    EXPECT_EQ(c.max_steps, 12u);

    auto nan = parsed<Calculate>({"calculate", "--start-lat", "NaN", "--bbox-margin", "0.25"});
    EXPECT_TRUE(std::isnan(*nan.start_lat));
    EXPECT_EQ(nan.bbox_margin, 0.25);
}

TEST(CommandLine, TextListsSplitAtCommasAndAppend) {
    auto c = parsed<CalculateFast>({"calculate-fast", "--avoid-tolls", "CH,AT", "--avoid-tolls", "DE"});
    EXPECT_EQ(c.avoid_tolls, (std::vector<std::string>{"CH", "AT", "DE"}));
    auto spaced = parsed<CalculateFast>({"calculate-fast", "--avoid-tolls", "CH, AT"});
    EXPECT_EQ(spaced.avoid_tolls, (std::vector<std::string>{"CH", " AT"}));
    auto both = parsed<Calculate>({"calculate", "--allow-tolls", "FR", "--avoid-tolls", "ch", "--allow-tolls", "ES,PT"});
    EXPECT_EQ(both.allow_tolls, (std::vector<std::string>{"FR", "ES", "PT"}));
    EXPECT_EQ(both.avoid_tolls, (std::vector<std::string>{"ch"}));
}

TEST(CommandLine, UsageErrorsExitWithStatusTwo) {
    const std::vector<std::vector<const char*>> rejected = {
        {"calculate-fast", "--allow-tolls", "CH"},
        {"calculate-fast", "--max-steps", "-5"},
        {"calculate-fast", "--max-steps", "1.5"},
        {"calculate-fast", "--max-steps", "12abc"},
        {"calculate-fast", "--start-lat", "north"},
        {"calculate-fast", "--start-lat", "0x10"},
        {"calculate-fast", "--start-lon", "-0.5"},
        {"calculate-fast", "-p", "car-fast"},
        {"calculate-fast", "--start-lat", "1", "--start-lat", "2"},
        {"calculate-fast", "--profile", "car-fast", "--profile", "car-short"},
        {"calculate-fast", "--allow-all-tolls", "--allow-all-tolls"},
        {"calculate-fast", "--graph-file"},
        {"calculate-fast", "extra"},
        {"route"},
        {"--bogus"},
        {"help", "nope"},
    };
    for (const auto& args : rejected) {
        std::vector<std::string> w{"route-calculator"};
        w.insert(w.end(), args.begin(), args.end());
        auto outcome = Cli::try_parse(w);
        auto* exit = std::get_if<ParseExit>(&outcome);
        ASSERT_NE(exit, nullptr) << "accepted: " << w[1] << " " << (w.size() > 2 ? w[2] : "");
        EXPECT_EQ(exit->status, 2) << w[1];
        EXPECT_TRUE(exit->out.empty());
        EXPECT_NE(exit->err.find("Usage: route-calculator"), std::string::npos) << exit->err;
    }
}

TEST(CommandLine, TargetIsNotCheckedByTheParser) {
    EXPECT_EQ(parsed<Calculate>({"calculate", "--target", "staging"}).target, "staging");
}

TEST(CommandLine, HelpListsCommandsAndOptions) {
    auto top = exit_of({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_TRUE(top.err.empty());
    for (const char* text : {"Calculate routes using Postgres Master DB and gravix", "calculate",
                             "Calculate route from config file", "calculate-fast",
                             "Calculate route using the binary graph file (fast, no database needed)", "analyse",
                             "Analyze the routing graph to diagnose connectivity issues"})
        EXPECT_NE(top.out.find(text), std::string::npos) << text;

    auto sub = exit_of({"help", "calculate-fast"});
    EXPECT_EQ(sub.status, 0);
    for (const char* text : {"-g,--graph-file", "GRAPH_FILE", "routing_graph.bin", "Path to the binary graph file",
                             "--max-steps", "MAX_STEPS", "Maximum search steps (default: 50 million)", "-o,--output",
                             "Minimum battery reserve in kWh -- never route below this (EV profiles only, default: 10% "
                             "capacity)"})
        EXPECT_NE(sub.out.find(text), std::string::npos) << text << "\n" << sub.out;
    EXPECT_EQ(sub.out, exit_of({"calculate-fast", "-h"}).out);
    auto analyse = exit_of({"analyse", "--help"});
    EXPECT_NE(analyse.out.find("Optional output file path for detailed results (JSON format)"), std::string::npos);
}

TEST(Driver, NoArgumentsPrintsHelpOnStandardError) {
    auto r = run_tool({});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("calculate-fast"), std::string::npos);
    EXPECT_NE(r.err.find("analyse"), std::string::npos);
}

TEST(Driver, HelpGoesToStandardOutput) {
    auto r = run_tool({"help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.empty());
    EXPECT_NE(r.out.find("calculate-fast"), std::string::npos);
}

TEST(Driver, UsageErrorIsPrintedOnce) {
    auto r = run_tool({"calculate-fast", "--max-steps", "-5"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err,
              "error: unexpected argument '-5' found\n\nUsage: route-calculator calculate-fast [OPTIONS]\n\n"
              "For more information, try '--help'.\n");
}

TEST(Driver, ConfigurationErrorsAreReportedWithCauses) {
    route_calculator::testing::TempDir dir;
    auto r = run_tool({"calculate-fast", "--config-dir", "config"}, {}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err, "Error: Config directory not found: 'config' (also tried '../../config')\n");

    route_calculator::testing::write_file(dir.path() / "config" / "navigation.yaml", "route: {start: {}, end: {}}\n");
    r = run_tool({"calculate-fast"}, {}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Error: Failed to read config/database.yaml\n\nCaused by:\n    No such file or directory (os error 2)\n");
}

TEST(Driver, TargetChoice) {
    route_calculator::testing::TempDir dir;
    route_calculator::testing::write_file(dir.path() / "config" / "navigation.yaml", "route: {start: {}, end: {}}\n");
    route_calculator::testing::write_file(dir.path() / "config" / "vehicles" / "tandrel.yaml", "{}\n");
    route_calculator::testing::write_file(dir.path() / "config" / "database.yaml",
                                          "master: {host: h, port: 1, user: u, password: p, database: d}\n");
    struct Case {
        const char* target;
        std::string err;
    };
    const Case cases[] = {
        {"Master", "Error: Invalid target 'Master'. Use 'master', 'production', or 'local'\n"},
        {"staging", "Error: Invalid target 'staging'. Use 'master', 'production', or 'local'\n"},
        {"local", "Error: 'local' database not configured\n"},
        {"production", "Error: 'production' database not configured\n"},
    };
    for (const auto& c : cases) {
        auto r = run_tool({"analyse", "--target", c.target}, {}, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(Driver, MalformedLogDirectiveIsNoticedOnce) {
    route_calculator::testing::TempDir dir;
    auto r = run_tool({"analyse", "--config-dir", "nowhere"}, {{"ROUTE_CALCULATOR_LOG", "info,foo=loud"}}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("ignoring `foo=loud`: invalid filter directive\n")) << r.err;
    EXPECT_EQ(r.err.find("ignoring", 1), std::string::npos);
}
