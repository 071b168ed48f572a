#pragma once
// Routing profiles: the cost of one directed edge for a car ("car-fast", "car-short") or an
// electric vehicle ("ev-default", "ev-efficient"), and the traction energy of an edge.
//
// All cost arithmetic is 32-bit float, evaluated in a fixed order so that graph-file edges and
// database edges with the same attributes cost exactly the same. A cost of at least
// `kImpassableCost` (the largest finite f32, or infinity) marks an edge that may not be used.

#include <absl/container/flat_hash_map.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quorvel_routing/config.hpp"
#include "quorvel_routing/edge_data.hpp"
#include "quorvel_routing/graph.hpp"

namespace quorvel_routing {

inline constexpr float kImpassableCost = std::numeric_limits<float>::max();

// Transparent text hashing, so that a borrowed std::string_view probes a map keyed by
// std::string without building a string.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};
struct TextEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

// Road class -> value. Keys are exact, case-sensitive texts; lookups never allocate.
using RoadClassTable = absl::flat_hash_map<std::string, float, TextHash, TextEq>;
// Upper-case country code -> true (avoid toll roads there) / false (explicitly allowed).
// Ordered, so that the route commands can list it in a stable order.
using TollAvoidance = std::map<std::string, bool, std::less<>>;

struct CarProfile {
    std::string name;
    RoadClassTable speed_table;         // km/h
    RoadClassTable road_class_factors;  // multiplier of the travel time
    TollAvoidance toll_avoidance;
    bool distance_only = false;

    [[nodiscard]] static CarProfile car_fast();
    [[nodiscard]] static CarProfile car_short();

    // Seconds ("car-fast") or metres ("car-short") for a database edge.
    [[nodiscard]] float compute_cost(const EdgeData& edge) const;
    // The same cost from the attributes of a graph-file edge; allocates nothing.
    [[nodiscard]] float compute_cost_inline(std::optional<std::string_view> road_class, bool has_speed_limit,
                                            std::int16_t speed_limit_kmh, bool toll,
                                            std::optional<std::string_view> country, float length_m) const;
    // The cost of a graph-file edge: its maximum speed counts as a limit unless it is 0.
    [[nodiscard]] float compute_cost_inline(const EdgeView& edge) const {
        return compute_cost_inline(edge.road_class, edge.maxspeed_kmh != 0, edge.maxspeed_kmh, edge.toll,
                                   edge.country, edge.length_m);
    }
    // Largest speed of the table (at least 30 km/h) in m/s.
    [[nodiscard]] double max_speed_ms() const;
    [[nodiscard]] std::string_view cost_unit() const;
};

struct EvProfile {
    std::string name;
    RoadClassTable speed_table;  // km/h
    TollAvoidance toll_avoidance;
    RoadClassTable road_class_factors;  // cost multipliers, each at least 1.0
    float vehicle_mass_kg = 2000.0f;
    float battery_capacity_kwh = 75.0f;
    float base_consumption_wh_per_km = 180.0f;
    float regen_efficiency = 0.65f;
    float motor_efficiency = 0.9f;
    float aero_factor = 0.6f;       // drag force (N) = aero_factor x v^2 (m/s)
    float time_weight = 4.5f;       // Wh charged per second of travel
    float max_speed_kmh = 120.0f;   // max(30, every value of speed_table)

    [[nodiscard]] static EvProfile from_config(const EvConfig& vehicle);
    [[nodiscard]] static EvProfile from_config_efficient(const EvConfig& vehicle);

    // Factor of the class ("unclassified" when absent): max(value, 1.0), or 1.18 when unknown.
    [[nodiscard]] float road_class_factor(std::optional<std::string_view> road_class) const;

    // Routing cost in Wh (energy plus the time charge, times the class factor, at least 0.1).
    [[nodiscard]] float compute_cost(const EdgeData& edge) const;
    [[nodiscard]] float compute_cost_inline(std::optional<std::string_view> road_class, bool has_speed_limit,
                                            std::int16_t speed_limit_kmh, bool toll,
                                            std::optional<std::string_view> country, float length_m,
                                            std::optional<float> elevation_from_m,
                                            std::optional<float> elevation_to_m) const;
    // Traction energy in Wh (at least 0.1): no toll check, no class factor, no time charge.
    [[nodiscard]] float compute_energy_inline(std::optional<std::string_view> road_class, bool has_speed_limit,
                                              std::int16_t speed_limit_kmh, float length_m,
                                              std::optional<float> elevation_from_m,
                                              std::optional<float> elevation_to_m) const;
    // The graph-file forms: the maximum speed counts as a limit unless it is 0, and the
    // elevations count exactly when the edge's has-elevation flag is set.
    [[nodiscard]] float compute_cost_inline(const EdgeView& edge) const {
        return compute_cost_inline(edge.road_class, edge.maxspeed_kmh != 0, edge.maxspeed_kmh, edge.toll,
                                   edge.country, edge.length_m, elevation_from(edge), elevation_to(edge));
    }
    [[nodiscard]] float compute_energy_inline(const EdgeView& edge) const {
        return compute_energy_inline(edge.road_class, edge.maxspeed_kmh != 0, edge.maxspeed_kmh, edge.length_m,
                                     elevation_from(edge), elevation_to(edge));
    }
    [[nodiscard]] std::string_view cost_unit() const;

    // Potential energy of the height difference in Wh: climbs through the motor efficiency,
    // descents (zero or negative) through recuperation; 0 unless both elevations are given.
    [[nodiscard]] float climb_wh(std::optional<float> elevation_from_m, std::optional<float> elevation_to_m) const;

private:
    static std::optional<float> elevation_from(const EdgeView& e) {
        return e.has_elevation ? std::optional<float>(e.elevation_from_m) : std::nullopt;
    }
    static std::optional<float> elevation_to(const EdgeView& e) {
        return e.has_elevation ? std::optional<float>(e.elevation_to_m) : std::nullopt;
    }
};

// A car or an EV profile. Built once per command, adjusted once for tolls, read-only afterwards.
struct RoutingProfile {
    std::variant<CarProfile, EvProfile> kind;

    // "car-fast", "car-short", "ev-default", "ev-efficient" (exact, case-sensitive); any other
    // name logs a warning and gives "car-fast". The vehicle is read only for the EV names.
    [[nodiscard]] static RoutingProfile by_name_with_config(std::string_view name, const EvConfig& vehicle);

    // allow_all empties the toll map; otherwise every avoided code (upper-cased) maps to true,
    // then every allowed code to false, so a code in both lists ends up allowed.
    [[nodiscard]] RoutingProfile with_toll_overrides(const std::optional<std::vector<std::string>>& avoid,
                                                     const std::optional<std::vector<std::string>>& allow,
                                                     bool allow_all) &&;

    [[nodiscard]] float compute_cost(const EdgeData& edge) const;
    // The cost of a graph-file edge (what the route search pays for it).
    [[nodiscard]] float compute_cost_inline(const EdgeView& edge) const {
        return std::visit([&](const auto& p) { return p.compute_cost_inline(edge); }, kind);
    }

    [[nodiscard]] const std::string& name() const;
    // "time (seconds)", "distance (meters)" or "energy (Wh)".
    [[nodiscard]] std::string_view cost_unit() const;
    [[nodiscard]] const TollAvoidance& toll_avoidance() const;
    [[nodiscard]] TollAvoidance& toll_avoidance();

    [[nodiscard]] const CarProfile* car() const { return std::get_if<CarProfile>(&kind); }
    [[nodiscard]] const EvProfile* ev() const { return std::get_if<EvProfile>(&kind); }
};

// Upper-cases ASCII letters; country codes are ASCII.
[[nodiscard]] std::string ascii_upper(std::string_view text);

}  // namespace quorvel_routing
