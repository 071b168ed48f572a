#pragma once
// The configuration directory: database.yaml, navigation.yaml and vehicles/NAME.yaml.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quorvel_routing/platform/error.hpp"

namespace quorvel_routing {

struct DatabaseConnection {
    std::string host;
    std::uint16_t port = 0;
    std::string user;
    std::string password;
    std::string database;

    // "host={} port={} user={} password={} dbname={}", values inserted as they stand.
    [[nodiscard]] std::string connection_string() const;
};

struct DatabaseConfig {
    std::optional<DatabaseConnection> master;
    std::optional<DatabaseConnection> production;
    std::optional<DatabaseConnection> local;
};

struct Coordinate {
    double latitude = 0.0;
    double longitude = 0.0;
    std::optional<std::string> address;
};

struct RouteConfig {
    Coordinate start;
    Coordinate end;
    std::string profile = "car-fast";
    // Country code -> true (avoid tolls there) / false (allowed). Iterated in key order.
    std::map<std::string, bool> avoid_tolls;
};

struct NavigationConfig {
    std::string vehicle = "tandrel";
    RouteConfig route;
};

struct EvConfig {
    std::optional<std::string> name;
    float vehicle_mass_kg = 2000.0f;
    float battery_capacity_kwh = 75.0f;
    float base_consumption_wh_per_km = 180.0f;
    float regen_efficiency = 0.65f;
    float motor_efficiency = 0.9f;
    float aero_factor = 0.6f;
    std::optional<float> time_weight;
    std::map<std::string, float> road_class_factors;
    std::map<std::string, float> speed_table;
    std::optional<float> initial_charge_kwh;
    std::optional<float> min_charge_kwh;
    float charge_target_pct = 0.8f;
    std::optional<float> max_charge_power_kw;
    std::vector<std::string> plug_types;
    std::optional<float> forecast_drive_speed_factor;
    std::optional<float> forecast_intersection_delay_s;
    std::optional<std::uint32_t> forecast_intersection_min_out_degree;
};

struct Config {
    DatabaseConfig database;
    RouteConfig route;
    EvConfig vehicle;

    // Finds the directory (the path itself, else "../.." joined with it), then reads
    // database.yaml, navigation.yaml and the vehicle file, in that order.
    static Result<Config> load_from_dir(const std::string& dir);
};

// Parsers of the single files, for callers that hold the text already ("<file>" names it in
// positions of the YAML reader's messages).
Result<DatabaseConfig> parse_database_config(const std::string& yaml_text);
Result<NavigationConfig> parse_navigation_config(const std::string& yaml_text);
Result<EvConfig> parse_ev_config(const std::string& yaml_text);

}  // namespace quorvel_routing
