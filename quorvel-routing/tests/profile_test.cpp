#include "quorvel_routing/profile.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "graph_fixtures.hpp"

namespace qr = quorvel_routing;

namespace {

qr::EdgeData db_edge(std::optional<std::string> highway, float length_m, std::optional<std::int16_t> limit = {},
                     bool toll = false, std::optional<std::string> country = {},
                     std::optional<float> elev_from = {}, std::optional<float> elev_to = {}) {
    qr::EdgeData e;
    e.from_node = 1;
    e.to_node = 2;
    e.distance_m = length_m;
    e.highway_type = std::move(highway);
    e.speed_limit_kmh = limit;
    e.is_toll = toll;
    e.country_code = std::move(country);
    e.from_elevation_m = elev_from;
    e.to_elevation_m = elev_to;
    return e;
}

const qr::EvConfig kDefaults{};

}  // namespace

// ---- car ----------------------------------------------------------------------------------------

struct CarCase {
    const char* what;
    bool short_profile;
    std::optional<std::string> road_class;
    std::optional<std::int16_t> limit;
    float length_m;
    double expected;
};

TEST(CarProfileCost, TravelTimeAndDistance) {
    const std::vector<CarCase> cases = {
        {"motorway, no limit", false, "motorway", {}, 1000.0f, 27.6923},
        {"limit below table speed", false, "motorway", 100, 1000.0f, 36.0},
        {"limit above table speed keeps 130", false, "motorway", 150, 1000.0f, 27.6923},
        {"no class costs as unclassified (40)", false, std::nullopt, {}, 1000.0f, 90.0},
        {"class outside the table costs 30 km/h", false, "track", {}, 1000.0f, 120.0},
        {"Motorway differs in case: 30 km/h", false, "Motorway", {}, 1000.0f, 120.0},
        {"living street", false, "living_street", {}, 50.0f, 18.0},
        {"car-short: length of a motorway", true, "motorway", 50, 1234.5f, 1234.5},
        {"car-short: length of an unknown class", true, "track", {}, 7.25f, 7.25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        qr::CarProfile p = c.short_profile ? qr::CarProfile::car_short() : qr::CarProfile::car_fast();
        auto edge = db_edge(c.road_class, c.length_m, c.limit);
        float from_db = p.compute_cost(edge);
        EXPECT_NEAR(from_db, c.expected, 1e-3);
        // The graph-file variant is the same formula on the same attributes, bit for bit.
        std::optional<std::string_view> cls;
        if (c.road_class) cls = *c.road_class;
        float from_graph = p.compute_cost_inline(cls, c.limit.has_value(), c.limit.value_or(0), false,
                                                 std::nullopt, c.length_m);
        EXPECT_EQ(from_db, from_graph);
    }
}

TEST(CarProfileCost, RoadClassFactorMultipliesTheTime) {
    auto p = qr::CarProfile::car_fast();
    p.road_class_factors["residential"] = 2.0f;
    EXPECT_NEAR(p.compute_cost(db_edge("residential", 1000.0f)), 240.0, 1e-3);
    EXPECT_NEAR(p.compute_cost(db_edge("motorway", 1000.0f)), 27.6923, 1e-3);
}

TEST(CarProfileCost, DatabaseLimitOfZeroOrBelowIsImpassable) {
    auto p = qr::CarProfile::car_fast();
    for (std::int16_t limit : {0, -30}) {
        for (float length : {100.0f, 0.0f}) {
            float c = p.compute_cost(db_edge("primary", length, limit));
            EXPECT_TRUE(std::isinf(c) && c > 0) << "limit " << limit << " length " << length << " cost " << c;
        }
    }
}

TEST(CarProfileCost, TollAvoidancePerCountry) {
    for (bool short_profile : {false, true}) {
        SCOPED_TRACE(short_profile ? "car-short" : "car-fast");
        qr::CarProfile p = short_profile ? qr::CarProfile::car_short() : qr::CarProfile::car_fast();
        float normal = p.compute_cost(db_edge("motorway", 1000.0f));
        p.toll_avoidance["CH"] = true;
        p.toll_avoidance["AT"] = false;
        EXPECT_EQ(p.compute_cost(db_edge("motorway", 1000.0f, {}, true, "CH")), qr::kImpassableCost);
        EXPECT_EQ(p.compute_cost_inline("motorway", false, 0, true, "CH", 1000.0f), qr::kImpassableCost);
        EXPECT_EQ(p.compute_cost(db_edge("motorway", 1000.0f, {}, true, "AT")), normal);
        EXPECT_EQ(p.compute_cost(db_edge("motorway", 1000.0f, {}, true, std::nullopt)), normal);
        EXPECT_EQ(p.compute_cost(db_edge("motorway", 1000.0f, {}, false, "CH")), normal);
        EXPECT_EQ(p.compute_cost(db_edge("motorway", 1000.0f, {}, true, "DE")), normal);
        // Keys are exact: a lower-case code on the edge does not match.
        EXPECT_EQ(p.compute_cost(db_edge("motorway", 1000.0f, {}, true, "ch")), normal);
    }
}

TEST(CarProfile, LargestSpeedAndUnits) {
    EXPECT_DOUBLE_EQ(qr::CarProfile::car_fast().max_speed_ms(), 130.0 / 3.6);
    EXPECT_DOUBLE_EQ(qr::CarProfile::car_short().max_speed_ms(), 30.0 / 3.6);
    EXPECT_EQ(qr::CarProfile::car_fast().cost_unit(), "time (seconds)");
    EXPECT_EQ(qr::CarProfile::car_short().cost_unit(), "distance (meters)");
    EXPECT_EQ(qr::EvProfile::from_config(kDefaults).cost_unit(), "energy (Wh)");
    EXPECT_TRUE(qr::CarProfile::car_short().speed_table.empty());
    EXPECT_EQ(qr::CarProfile::car_fast().speed_table.size(), 14u);
}

// ---- selection and tolls ------------------------------------------------------------------------

TEST(RoutingProfileSelection, ByName) {
    qr::EvConfig vehicle;
    vehicle.base_consumption_wh_per_km = 200.0f;
    struct Case {
        const char* name;
        const char* expected_name;
        const char* unit;
    };
    const std::vector<Case> cases = {
        {"car-fast", "car-fast", "time (seconds)"},
        {"car-short", "car-short", "distance (meters)"},
        {"ev-default", "ev-default", "energy (Wh)"},
        {"ev-efficient", "ev-efficient", "energy (Wh)"},
    };
    for (const auto& c : cases) {
        auto p = qr::RoutingProfile::by_name_with_config(c.name, vehicle);
        EXPECT_EQ(p.name(), c.expected_name);
        EXPECT_EQ(p.cost_unit(), c.unit);
    }
    EXPECT_FLOAT_EQ(qr::RoutingProfile::by_name_with_config("ev-default", vehicle).ev()->base_consumption_wh_per_km,
                    200.0f);
    EXPECT_FLOAT_EQ(
        qr::RoutingProfile::by_name_with_config("ev-efficient", vehicle).ev()->base_consumption_wh_per_km,
        200.0f * 0.833f);
}

TEST(RoutingProfileSelection, UnknownNameWarnsAndFallsBackToCarFast) {
    for (const char* name : {"Car-Fast", "bicycle", ""}) {
        std::optional<qr::RoutingProfile> p;
        auto lines = qr::testing::capture_log_lines([&] { p = qr::RoutingProfile::by_name_with_config(name, kDefaults); });
        EXPECT_EQ(lines, (std::vector<std::string>{std::string("WARN quorvel_routing::profile: Unknown profile '") +
                                                   name + "', falling back to car-fast"}));
        ASSERT_NE(p->car(), nullptr);
        EXPECT_EQ(p->name(), "car-fast");
        EXPECT_FALSE(p->car()->distance_only);
    }
    auto lines = qr::testing::capture_log_lines([] { (void)qr::RoutingProfile::by_name_with_config("car-short", kDefaults); });
    EXPECT_TRUE(lines.empty());
}

TEST(RoutingProfileTolls, Overrides) {
    using List = std::optional<std::vector<std::string>>;
    struct Case {
        const char* what;
        const char* profile;
        qr::TollAvoidance before;
        List avoid;
        List allow;
        bool allow_all;
        qr::TollAvoidance after;
    };
    const std::vector<Case> cases = {
        {"avoid at, de; allow de", "car-fast", {}, List{{"at", "de"}}, List{{"de"}}, false,
         {{"AT", true}, {"DE", false}}},
        {"allow-all empties configured entries", "ev-default", {{"CH", true}, {"IT", false}}, List{{"fr"}},
         List{{"at"}}, true, {}},
        {"avoid replaces a configured allow", "car-short", {{"CH", false}}, List{{"Ch"}}, std::nullopt, false,
         {{"CH", true}}},
        {"allow replaces a configured avoid", "ev-efficient", {{"AT", true}, {"SI", true}}, std::nullopt,
         List{{"at"}}, false, {{"AT", false}, {"SI", true}}},
        {"no lists keep the map", "car-fast", {{"SI", true}}, std::nullopt, std::nullopt, false, {{"SI", true}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = qr::RoutingProfile::by_name_with_config(c.profile, kDefaults);
        p.toll_avoidance() = c.before;
        auto changed = std::move(p).with_toll_overrides(c.avoid, c.allow, c.allow_all);
        EXPECT_EQ(changed.toll_avoidance(), c.after);
        EXPECT_EQ(changed.name(), c.profile);
    }
}

TEST(RoutingProfileTolls, OverridesReachTheCost) {
    auto p = qr::RoutingProfile::by_name_with_config("ev-default", kDefaults)
                 .with_toll_overrides(std::vector<std::string>{"ch"}, std::nullopt, false);
    EXPECT_EQ(p.compute_cost(db_edge("motorway", 1000.0f, {}, true, "CH")), qr::kImpassableCost);
    // The energy of an avoided toll edge is still its plain energy.
    EXPECT_NEAR(p.ev()->compute_energy_inline("motorway", false, 0, 1000.0f, std::nullopt, std::nullopt), 365.19,
                0.01);
}

// ---- EV -----------------------------------------------------------------------------------------

struct EvCase {
    const char* what;
    std::optional<std::string> road_class;
    std::optional<std::int16_t> limit;
    float length_m;
    std::optional<float> elev_from, elev_to;
    double cost;
    double energy;
};

TEST(EvProfileCost, CostAndEnergyWithVehicleDefaults) {
    auto p = qr::EvProfile::from_config(kDefaults);
    // motorway level: base 180, drag 185.19 at 33.33 m/s, time 30 s x 4.5 -> 500.19; energy 365.19.
    // residential level: (180 + 11.57 + 540) x 1.45 = 1060.78; energy 191.57.
    // 10 m climb adds 60.56 Wh to both; a 10 m descent -35.42 Wh.
    // motorway limit 80: cost at 120 km/h, energy at 80 km/h (drag 82.30).
    // primary limit 130: cost at 120 km/h x 1.05, energy at the table's 80 km/h.
    // A class in neither table: 30 km/h and factor 1.18.
    const std::vector<EvCase> cases = {
        {"motorway level", "motorway", {}, 1000.0f, {}, {}, 500.19, 365.19},
        {"residential level", "residential", {}, 1000.0f, {}, {}, 1060.78, 191.57},
        {"motorway climbing 10 m", "motorway", {}, 1000.0f, 400.0f, 410.0f, 500.19 + 60.56, 365.19 + 60.56},
        {"motorway descending 10 m", "motorway", {}, 1000.0f, 410.0f, 400.0f, 500.19 - 35.42, 365.19 - 35.42},
        {"one elevation only counts as level", "motorway", {}, 1000.0f, 410.0f, {}, 500.19, 365.19},
        {"motorway limit 80", "motorway", 80, 1000.0f, {}, {}, 500.19, 180.0 + 82.30},
        {"primary limit 130", "primary", 130, 1000.0f, {}, {}, 500.19 * 1.05, 180.0 + 82.30},
        {"class in neither table", "footway", {}, 1000.0f, {}, {}, (180.0 + 11.57 + 540.0) * 1.18, 191.57},
        {"no class: unclassified, 40 km/h, 1.15", std::nullopt, {}, 1000.0f, {}, {},
         (180.0 + 20.576 + 405.0) * 1.15, 200.576},
        {"steep descent floors at 0.1", "motorway", {}, 100.0f, 1100.0f, 1000.0f, 0.1, 0.1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<std::string_view> cls;
        if (c.road_class) cls = *c.road_class;
        float inline_cost = p.compute_cost_inline(cls, c.limit.has_value(), c.limit.value_or(0), false, std::nullopt,
                                                  c.length_m, c.elev_from, c.elev_to);
        EXPECT_NEAR(inline_cost, c.cost, 0.01);
        float db_cost = p.compute_cost(db_edge(c.road_class, c.length_m, c.limit, false, {}, c.elev_from, c.elev_to));
        EXPECT_NEAR(db_cost, inline_cost, 1e-4 * inline_cost);
        float energy = p.compute_energy_inline(cls, c.limit.has_value(), c.limit.value_or(0), c.length_m,
                                               c.elev_from, c.elev_to);
        EXPECT_NEAR(energy, c.energy, 0.01);
    }
}

TEST(EvProfileCost, FloorAppliesAfterTheFactor) {
    // Recuperation larger than base plus drag plus time: the factor does not lift the result.
    auto p = qr::EvProfile::from_config(kDefaults);
    EXPECT_FLOAT_EQ(p.compute_cost_inline("residential", false, 0, false, std::nullopt, 10.0f, 20.0f, 0.0f), 0.1f);
    EXPECT_FLOAT_EQ(p.compute_energy_inline("residential", false, 0, 10.0f, 20.0f, 0.0f), 0.1f);
}

TEST(EvProfileCost, TimeWeightZeroDropsTheTimeTerm) {
    qr::EvConfig vehicle;
    vehicle.time_weight = 0.0f;
    auto p = qr::EvProfile::from_config(vehicle);
    EXPECT_FLOAT_EQ(p.time_weight, 0.0f);
    EXPECT_NEAR(p.compute_cost_inline("motorway", false, 0, false, std::nullopt, 1000.0f, {}, {}), 365.19, 0.01);
    EXPECT_FLOAT_EQ(qr::EvProfile::from_config(kDefaults).time_weight, 4.5f);
}

TEST(EvProfileBuild, VehicleFileOverrides) {
    qr::EvConfig vehicle;
    vehicle.road_class_factors = {{"motorway", 0.8f}, {"primary", 1.3f}, {"ferry", 2.0f}};
    vehicle.speed_table = {{"motorway", 140.0f}, {"ferry", 15.0f}};
    vehicle.vehicle_mass_kg = 1500.0f;
    vehicle.battery_capacity_kwh = 60.0f;
    auto p = qr::EvProfile::from_config(vehicle);
    EXPECT_EQ(p.name, "ev-default");
    EXPECT_FLOAT_EQ(p.road_class_factor("motorway"), 1.0f);
    EXPECT_FLOAT_EQ(p.road_class_factors.at("motorway"), 1.0f);
    EXPECT_FLOAT_EQ(p.road_class_factor("primary"), 1.3f);
    EXPECT_FLOAT_EQ(p.road_class_factor("ferry"), 2.0f);
    EXPECT_FLOAT_EQ(p.road_class_factor("secondary"), 1.12f);
    EXPECT_FLOAT_EQ(p.road_class_factor(std::nullopt), 1.15f);
    EXPECT_FLOAT_EQ(p.road_class_factor("footway"), 1.18f);
    EXPECT_FLOAT_EQ(p.speed_table.at("motorway"), 140.0f);
    EXPECT_FLOAT_EQ(p.speed_table.at("ferry"), 15.0f);
    EXPECT_FLOAT_EQ(p.speed_table.at("trunk"), 100.0f);
    EXPECT_FLOAT_EQ(p.max_speed_kmh, 140.0f);
    EXPECT_FLOAT_EQ(p.vehicle_mass_kg, 1500.0f);
    EXPECT_FLOAT_EQ(p.battery_capacity_kwh, 60.0f);
    EXPECT_EQ(p.road_class_factors.size(), 17u);
    EXPECT_TRUE(p.toll_avoidance.empty());

    EXPECT_FLOAT_EQ(qr::EvProfile::from_config(kDefaults).max_speed_kmh, 120.0f);
    qr::EvConfig slow;
    slow.speed_table = {{"motorway", 20.0f}, {"trunk", 20.0f}, {"primary", 20.0f}, {"secondary", 20.0f},
                        {"tertiary", 20.0f}, {"motorway_link", 20.0f}, {"primary_link", 20.0f},
                        {"unclassified", 20.0f}, {"trunk_link", 20.0f}, {"secondary_link", 20.0f}};
    EXPECT_FLOAT_EQ(qr::EvProfile::from_config(slow).max_speed_kmh, 30.0f);
}

TEST(EvProfileBuild, EfficientRules) {
    struct Case {
        float base, regen;
        float expected_base, expected_regen;
    };
    const std::vector<Case> cases = {
        {180.0f, 0.65f, 180.0f * 0.833f, 0.65f + 0.05f},
        {110.0f, 0.98f, 100.0f, 1.0f},  // 91.63 is raised to 100, 1.03 capped at 1
        {120.0f, 0.95f, 100.0f, 1.0f},
    };
    for (const auto& c : cases) {
        qr::EvConfig vehicle;
        vehicle.base_consumption_wh_per_km = c.base;
        vehicle.regen_efficiency = c.regen;
        auto eff = qr::EvProfile::from_config_efficient(vehicle);
        auto def = qr::EvProfile::from_config(vehicle);
        EXPECT_EQ(eff.name, "ev-efficient");
        EXPECT_FLOAT_EQ(eff.base_consumption_wh_per_km, c.expected_base);
        EXPECT_FLOAT_EQ(eff.regen_efficiency, c.expected_regen);
        EXPECT_FLOAT_EQ(def.base_consumption_wh_per_km, c.base);
        EXPECT_FLOAT_EQ(def.regen_efficiency, c.regen);
        EXPECT_EQ(eff.speed_table, def.speed_table);
        EXPECT_EQ(eff.road_class_factors, def.road_class_factors);
        EXPECT_FLOAT_EQ(eff.time_weight, def.time_weight);
    }
}

TEST(GraphEdgeCost, MaxSpeedZeroIsNoLimitAndElevationsNeedTheFlag) {
    qr::EdgeView e;
    e.road_class = "motorway";
    e.length_m = 1000.0f;
    e.elevation_from_m = 400.0f;
    e.elevation_to_m = 410.0f;
    auto car = qr::RoutingProfile::by_name_with_config("car-fast", kDefaults);
    EXPECT_NEAR(car.compute_cost_inline(e), 27.6923, 1e-3);  // maximum speed 0: no limit
    e.maxspeed_kmh = 100;
    EXPECT_NEAR(car.compute_cost_inline(e), 36.0, 1e-3);

    auto ev = qr::EvProfile::from_config(kDefaults);
    e.maxspeed_kmh = 80;
    // Without the has-elevation flag the stored elevations are ignored.
    EXPECT_NEAR(ev.compute_cost_inline(e), 500.19, 0.01);
    EXPECT_NEAR(ev.compute_energy_inline(e), 262.30, 0.01);
    e.has_elevation = true;
    EXPECT_NEAR(ev.compute_cost_inline(e), 500.19 + 60.56, 0.01);
    EXPECT_NEAR(ev.compute_energy_inline(e), 262.30 + 60.56, 0.01);
    EXPECT_EQ(ev.compute_energy_inline(e),
              ev.compute_energy_inline("motorway", true, 80, 1000.0f, 400.0f, 410.0f));
    e.toll = true;
    e.country = "AT";
    ev.toll_avoidance["AT"] = true;
    EXPECT_EQ(ev.compute_cost_inline(e), qr::kImpassableCost);
    EXPECT_NEAR(ev.compute_energy_inline(e), 262.30 + 60.56, 0.01);
}
