// Tag readings: direction, speed limits, access classes, charging power and plug names.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tags.hpp"

using namespace gravix_import;

namespace {

TEST(RoadClass, TheFourteenClassesRoadAndNothingElse) {
    EXPECT_EQ(road_class_of("motorway"), 0);
    EXPECT_EQ(road_class_of("tertiary_link"), 9);
    EXPECT_EQ(road_class_of("living_street"), 13);
    EXPECT_EQ(road_class_of("road"), kNoRoadClass);
    for (const char* not_for_cars : {"track", "footway", "cycleway", "path", "pedestrian", "construction",
                                     "proposed", "bus_guideway", "steps", "Motorway"})
        EXPECT_EQ(road_class_of(not_for_cars), std::nullopt) << not_for_cars;
}

TEST(Direction, OnewayValuesAndImpliedOneways) {
    struct Case {
        const char* highway;
        std::optional<std::string_view> oneway;
        std::optional<std::string_view> junction;
        Direction expected;
    };
    const Case cases[] = {
        {"residential", std::nullopt, std::nullopt, Direction::Both},
        {"residential", "yes", std::nullopt, Direction::Forward},
        {"residential", "true", std::nullopt, Direction::Forward},
        {"residential", "1", std::nullopt, Direction::Forward},
        {"residential", "-1", std::nullopt, Direction::Backward},
        {"residential", "reverse", std::nullopt, Direction::Backward},
        {"residential", "no", std::nullopt, Direction::Both},
        {"residential", "reversible", std::nullopt, Direction::Closed},
        {"residential", "alternating", std::nullopt, Direction::Closed},
        {"motorway", std::nullopt, std::nullopt, Direction::Forward},
        {"motorway", "no", std::nullopt, Direction::Both},
        {"motorway_link", std::nullopt, std::nullopt, Direction::Both},
        {"primary", std::nullopt, "roundabout", Direction::Forward},
        {"primary", std::nullopt, "circular", Direction::Forward},
        {"primary", "-1", "roundabout", Direction::Backward},
        {"primary", "sometimes", std::nullopt, Direction::Both},  // unknown: as if untagged
    };
    for (const Case& c : cases)
        EXPECT_EQ(direction_of(c.highway, c.oneway, c.junction), c.expected)
            << c.highway << " oneway=" << c.oneway.value_or("-") << " junction=" << c.junction.value_or("-");
}

TEST(Maxspeed, NumbersUnitsZonesAndNonValues) {
    struct Case {
        const char* value;
        std::optional<int> kmh;
    };
    const Case cases[] = {
        {"50", 50},          {" 80 ", 80},       {"50 km/h", 50},     {"50kmh", 50},  {"30 mph", 48},
        {"70mph", 113},      {"10 knots", 19},   {"50;30", 50},       {"FR:urban", 50}, {"ES:rural", 90},
        {"DE:motorway", std::nullopt},           {"CH:motorway", 120}, {"RU:urban", 50}, {"walk", 7},
        {"none", std::nullopt}, {"signals", std::nullopt}, {"0", std::nullopt}, {"", std::nullopt},
        {"fast", std::nullopt}, {"50 furlongs", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_maxspeed_kmh(c.value), c.kmh) << '"' << c.value << '"';
}

TEST(Access, ValueClasses) {
    struct Case {
        const char* value;
        std::optional<std::uint8_t> cls;
    };
    const Case cases[] = {
        {"yes", 0},          {"permissive", 0},      {"designated", 0},   {"destination", 1},
        {"delivery", 2},     {"customers", 3},       {"private", 4},      {"permit", 4},
        {"residents", 4},    {"no", 5},              {"agricultural", 6}, {"forestry", 6},
        {"agricultural;forestry", 6},                {"psv", 7},          {"military", 7},
        {"emergency", 7},    {"destination;delivery", 1},                 {"unknown", std::nullopt},
        {"no @ (Mo-Fr)", std::nullopt},              {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(access_value_class(c.value), c.cls) << '"' << c.value << '"';
}

TEST(Access, MostSpecificKnownTagWins) {
    struct Case {
        AccessTags tags;
        std::uint8_t expected;
        const char* why;
    };
    const Case cases[] = {
        {{}, 0, "no access tags"},
        {{"no", std::nullopt, "yes", std::nullopt}, 0, "Andorra's tunnels: access=no + motor_vehicle=yes"},
        {{"no", std::nullopt, std::nullopt, std::nullopt}, 5, "access=no alone"},
        {{"yes", "no", std::nullopt, std::nullopt}, 5, "vehicle beats access"},
        {{std::nullopt, "no", "destination", std::nullopt}, 1, "motor_vehicle beats vehicle"},
        {{"private", std::nullopt, "no", "yes"}, 0, "motorcar beats all"},
        {{"private", std::nullopt, std::nullopt, "unknown"}, 4, "an unknown value falls back to the next tag"},
        {{"agricultural;forestry", std::nullopt, std::nullopt, std::nullopt}, 6, "agricultural list"},
    };
    for (const Case& c : cases) EXPECT_EQ(access_class_of(c.tags), c.expected) << c.why;
}

TEST(Access, Barriers) {
    EXPECT_EQ(barrier_access_class("bollard", {}), 5);
    EXPECT_EQ(barrier_access_class("block", {}), 5);
    EXPECT_EQ(barrier_access_class("gate", {}), 0);
    EXPECT_EQ(barrier_access_class("toll_booth", {}), 0);
    EXPECT_EQ(barrier_access_class("something_new", {}), 0);
    EXPECT_EQ(barrier_access_class("gate", {"private", std::nullopt, std::nullopt, std::nullopt}), 4);
    EXPECT_EQ(barrier_access_class("bollard", {"no", std::nullopt, "yes", std::nullopt}), 0);
    EXPECT_EQ(barrier_access_class("lift_gate", {std::nullopt, std::nullopt, std::nullopt, "destination"}), 1);
}

TEST(Charging, PowerValues) {
    struct Case {
        const char* value;
        std::optional<double> kw;
    };
    const Case cases[] = {
        {"22 kW", 22.0},  {"50kW", 50.0},      {"3.7", 3.7},   {"11000 W", 11.0}, {"7400", 7.4},
        {"150 kVA", 150.0}, {"22;50 kW", 50.0}, {"2,3 kW", 2.3}, {"lots", std::nullopt}, {"0", std::nullopt},
    };
    for (const Case& c : cases) {
        auto kw = parse_power_kw(c.value);
        ASSERT_EQ(kw.has_value(), c.kw.has_value()) << c.value;
        if (kw) {
            EXPECT_DOUBLE_EQ(*kw, *c.kw) << c.value;
        }
    }
}

TEST(Charging, PlugNamesAndPresence) {
    EXPECT_EQ(plug_name_of_socket("type2"), "Type2");
    EXPECT_EQ(plug_name_of_socket("type2_cable"), "Type2");
    EXPECT_EQ(plug_name_of_socket("type2_combo"), "CCS");
    EXPECT_EQ(plug_name_of_socket("chademo"), "CHAdeMO");
    EXPECT_EQ(plug_name_of_socket("schuko"), "Schuko");
    EXPECT_EQ(plug_name_of_socket("unheard_of"), "unheard_of");
    EXPECT_TRUE(socket_present("2"));
    EXPECT_TRUE(socket_present("yes"));
    EXPECT_FALSE(socket_present("0"));
    EXPECT_FALSE(socket_present("no"));
}

}  // namespace
