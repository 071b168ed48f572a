// Loading the configuration directory: fallback, defaults, and every failure's context line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "graph_fixtures.hpp"
#include "quorvel_routing/config.hpp"

namespace qr = quorvel_routing;
namespace fs = std::filesystem;

namespace {

const char* kDatabase = R"(master:
  host: db.example
  port: 5432
  user: router
  password: secret
  database: osm
local:
  host: localhost
  port: 5433
  user: me
  password: ""
  database: osm_local
  comment: extra keys are ignored
)";

const char* kNavigation = R"(route:
  start:
    latitude: 42.5063
    longitude: 1.5218
  end:
    latitude: 42.5430
    longitude: 1.7330
)";

struct ConfigDir : ::testing::Test {
    quorvel_routing::testing::TempDir dir;
    fs::path root = dir.path();
    fs::path old_cwd = fs::current_path();

    void TearDown() override { fs::current_path(old_cwd); }
    void write(const std::string& rel, const std::string& text) {
        fs::path p = root / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
    }
    void write_all(const std::string& dir, const std::string& db, const std::string& nav, const std::string& vehicle_file,
                   const std::string& vehicle) {
        write(dir + "/database.yaml", db);
        write(dir + "/navigation.yaml", nav);
        write(dir + "/vehicles/" + vehicle_file, vehicle);
    }
    qr::Result<qr::Config> load(const std::string& dir) {
        fs::current_path(root);
        return qr::Config::load_from_dir(dir);
    }
    std::string report(const std::string& dir) {
        auto r = load(dir);
        EXPECT_FALSE(r.has_value());
        return r ? "" : r.error().message + " | " + (r.error().causes.empty() ? "" : r.error().causes.front());
    }
};

}  // namespace

TEST_F(ConfigDir, LoadsEverythingWithDefaults) {
    write_all("cfg", kDatabase, kNavigation, "tandrel.yaml", "{}\n");
    auto cfg = load("cfg");
    ASSERT_TRUE(cfg.has_value()) << cfg.error().message;
    ASSERT_TRUE(cfg->database.master.has_value());
    EXPECT_FALSE(cfg->database.production.has_value());
    EXPECT_EQ(cfg->database.master->connection_string(),
              "host=db.example port=5432 user=router password=secret dbname=osm");
    EXPECT_EQ(cfg->database.local->connection_string(), "host=localhost port=5433 user=me password= dbname=osm_local");
    EXPECT_EQ(cfg->route.start.latitude, 42.5063);
    EXPECT_EQ(cfg->route.end.longitude, 1.7330);
    EXPECT_EQ(cfg->route.profile, "car-fast");
    EXPECT_TRUE(cfg->route.avoid_tolls.empty());

    const qr::EvConfig& ev = cfg->vehicle;
    EXPECT_FALSE(ev.name.has_value());
    EXPECT_EQ(ev.vehicle_mass_kg, 2000.0f);
    EXPECT_EQ(ev.battery_capacity_kwh, 75.0f);
    EXPECT_EQ(ev.base_consumption_wh_per_km, 180.0f);
    EXPECT_EQ(ev.regen_efficiency, 0.65f);
    EXPECT_EQ(ev.motor_efficiency, 0.9f);
    EXPECT_EQ(ev.aero_factor, 0.6f);
    EXPECT_EQ(ev.charge_target_pct, 0.8f);
    EXPECT_TRUE(ev.road_class_factors.empty() && ev.speed_table.empty() && ev.plug_types.empty());
    EXPECT_FALSE(ev.time_weight || ev.initial_charge_kwh || ev.min_charge_kwh || ev.max_charge_power_kw ||
                 ev.forecast_drive_speed_factor || ev.forecast_intersection_delay_s ||
                 ev.forecast_intersection_min_out_degree);
}

TEST_F(ConfigDir, VehicleFieldsAreReadAndRoundedTo32Bits) {
    write_all("cfg", kDatabase, "vehicle: model_x\n" + std::string(kNavigation), "model_x.yaml", R"(
name: Tandrel T4
vehicle_mass_kg: 2100
battery_capacity_kwh: 77.4
regen_efficiency: 0.7
time_weight: 0.5
road_class_factors: {motorway: 1.2, residential: 0.9}
speed_table:
  motorway: 120
plug_types: [CCS, Type2]
initial_charge_kwh: 60
min_charge_kwh: ~
forecast_intersection_min_out_degree: 3
unknown_key: [1, 2]
)");
    auto cfg = load("cfg");
    ASSERT_TRUE(cfg.has_value()) << cfg.error().message;
    const auto& ev = cfg->vehicle;
    EXPECT_EQ(ev.name, "Tandrel T4");
    EXPECT_EQ(ev.vehicle_mass_kg, 2100.0f);
    EXPECT_EQ(ev.battery_capacity_kwh, 77.4f);
    EXPECT_EQ(ev.regen_efficiency, 0.7f);
    EXPECT_EQ(ev.time_weight, 0.5f);
    EXPECT_EQ(ev.road_class_factors.at("motorway"), 1.2f);
    EXPECT_EQ(ev.speed_table.at("motorway"), 120.0f);
    EXPECT_EQ(ev.plug_types, (std::vector<std::string>{"CCS", "Type2"}));
    EXPECT_EQ(ev.initial_charge_kwh, 60.0f);
    EXPECT_FALSE(ev.min_charge_kwh.has_value());
    EXPECT_EQ(ev.forecast_intersection_min_out_degree, 3u);
}

TEST_F(ConfigDir, RouteSectionForms) {
    write_all("cfg", kDatabase, R"(route:
  start:
    address: Plaça del Poble, Andorra la Vella
  end:
  profile: ev-default
  avoid_tolls:
    CH: true
    fr: false
    AT: true
)",
              "tandrel.yaml", "");
    auto cfg = load("cfg");
    ASSERT_TRUE(cfg.has_value()) << cfg.error().message;
    EXPECT_EQ(cfg->route.start.latitude, 0.0);
    EXPECT_EQ(cfg->route.start.longitude, 0.0);
    EXPECT_EQ(cfg->route.start.address, "Plaça del Poble, Andorra la Vella");
    EXPECT_EQ(cfg->route.end.latitude, 0.0);
    EXPECT_FALSE(cfg->route.end.address.has_value());
    EXPECT_EQ(cfg->route.profile, "ev-default");
    EXPECT_EQ(cfg->route.avoid_tolls, (std::map<std::string, bool>{{"AT", true}, {"CH", true}, {"fr", false}}));
}

TEST_F(ConfigDir, DirectoryFallback) {
    write_all("cfg", kDatabase, kNavigation, "tandrel.yaml", "{}");
    fs::create_directories(root / "a" / "b");
    fs::current_path(root / "a" / "b");
    EXPECT_TRUE(qr::Config::load_from_dir("cfg").has_value());
    auto missing = qr::Config::load_from_dir("nowhere");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message, "Config directory not found: 'nowhere' (also tried '../../nowhere')");
    EXPECT_TRUE(missing.error().causes.empty());
}

TEST_F(ConfigDir, NavigationVehicleIsUsedVerbatim) {
    write_all("cfg", kDatabase, "vehicle: ../other\n" + std::string(kNavigation), "x.yaml", "");
    write("cfg/other.yaml", "vehicle_mass_kg: 1500\n");
    auto cfg = load("cfg");
    ASSERT_TRUE(cfg.has_value()) << cfg.error().message;
    EXPECT_EQ(cfg->vehicle.vehicle_mass_kg, 1500.0f);
}

TEST_F(ConfigDir, FailureTable) {
    struct Case {
        const char* name;
        std::string db, nav, vehicle;
        std::string expected;  // context line | first cause
    };
    const std::string nav = kNavigation, db = kDatabase;
    const Case cases[] = {
        {"missing route", db, "vehicle: tandrel\n", "{}",
         "Failed to parse cfg/navigation.yaml | missing field `route` at line 1 column 1"},
        {"route without start", db, "route:\n  end: {}\n", "{}",
         "Failed to parse cfg/navigation.yaml | route: missing field `start` at line 2 column 3"},
        {"route without end", db, "route:\n  start: {}\n", "{}",
         "Failed to parse cfg/navigation.yaml | route: missing field `end` at line 2 column 3"},
        {"repeated key", db, "route:\n  start: {}\n  end: {}\n  start: {}\n", "{}",
         "Failed to parse cfg/navigation.yaml | route: duplicate field `start` at line 4 column 3"},
        {"type mismatch", db, "route:\n  start:\n    latitude: north\n  end: {}\n", "{}",
         "Failed to parse cfg/navigation.yaml | route.start.latitude: invalid type: `north`, expected f64 at line 3 "
         "column 15"},
        {"target lacks a key", "master:\n  host: h\n  port: 1\n  user: u\n  password: p\nlocal:\n  host: h\n", nav, "{}",
         "Failed to parse cfg/database.yaml | master: missing field `database` at line 2 column 3"},
        {"port too large", "local:\n  host: h\n  port: 65536\n  user: u\n  password: p\n  database: d\n", nav, "{}",
         "Failed to parse cfg/database.yaml | local.port: invalid value: `65536`, expected u16 at line 3 column 9"},
        {"negative port", "local:\n  host: h\n  port: -1\n  user: u\n  password: p\n  database: d\n", nav, "{}",
         "Failed to parse cfg/database.yaml | local.port: invalid value: `-1`, expected u16 at line 3 column 9"},
        {"not yaml", "master: [unclosed\n", nav, "{}", "Failed to parse cfg/database.yaml | "},
        {"vehicle schema", db, nav, "battery_capacity_kwh: lots\n",
         "Failed to parse vehicle config: cfg/vehicles/tandrel.yaml | battery_capacity_kwh: invalid type: `lots`, "
         "expected f32 at line 1 column 23"},
        {"top level not a mapping", db, "- a\n- b\n", "{}",
         "Failed to parse cfg/navigation.yaml | invalid type: sequence, expected struct NavigationConfig at line 1 "
         "column 1"},
    };
    for (const auto& c : cases) {
        fs::remove_all(root / "cfg");
        write_all("cfg", c.db, c.nav, "tandrel.yaml", c.vehicle);
        std::string got = report("cfg");
        if (std::string(c.name) == "not yaml") EXPECT_TRUE(got.starts_with(c.expected)) << got;
        else EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST_F(ConfigDir, UnreadableFilesNameTheirPaths) {
    write("cfg/navigation.yaml", kNavigation);
    EXPECT_EQ(report("cfg"), "Failed to read cfg/database.yaml | No such file or directory (os error 2)");
    write("cfg/database.yaml", "{}");
    EXPECT_EQ(report("cfg"),
              "Failed to read vehicle config 'cfg/vehicles/tandrel.yaml'. Available vehicles are in cfg/vehicles/ | "
              "No such file or directory (os error 2)");
    write("cfg/navigation.yaml", "route:\n  start: {}\n  end: {}\n  comment: \"\xff\xfe\"\n");
    EXPECT_EQ(report("cfg"), "Failed to read cfg/navigation.yaml | stream did not contain valid UTF-8");
}

TEST_F(ConfigDir, DatabaseWithoutTargetsLoads) {
    write_all("cfg", "{}\n", kNavigation, "tandrel.yaml", "{}");
    auto cfg = load("cfg");
    ASSERT_TRUE(cfg.has_value());
    EXPECT_FALSE(cfg->database.master || cfg->database.production || cfg->database.local);
}
