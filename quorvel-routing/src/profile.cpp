#include "quorvel_routing/profile.hpp"

#include <algorithm>
#include <utility>

#include "quorvel_routing/platform/log.hpp"

namespace quorvel_routing {

namespace {

constexpr std::string_view kTarget = "quorvel_routing::profile";
constexpr std::string_view kNoClass = "unclassified";
constexpr float kUnknownClassSpeedKmh = 30.0f;
constexpr float kUnknownClassFactor = 1.18f;
constexpr float kCostFloor = 0.1f;
constexpr float kGravity = 9.81f;

const RoadClassTable& car_fast_speeds() {
    static const RoadClassTable table = {
        {"motorway", 130.0f},     {"motorway_link", 80.0f}, {"trunk", 110.0f},         {"trunk_link", 60.0f},
        {"primary", 80.0f},       {"primary_link", 50.0f},  {"secondary", 70.0f},      {"secondary_link", 40.0f},
        {"tertiary", 60.0f},      {"tertiary_link", 30.0f}, {"unclassified", 40.0f},   {"residential", 30.0f},
        {"service", 20.0f},       {"living_street", 10.0f},
    };
    return table;
}

const RoadClassTable& ev_default_speeds() {
    static const RoadClassTable table = {
        {"motorway", 120.0f},     {"motorway_link", 80.0f}, {"trunk", 100.0f},         {"trunk_link", 60.0f},
        {"primary", 80.0f},       {"primary_link", 50.0f},  {"secondary", 70.0f},      {"secondary_link", 40.0f},
        {"tertiary", 60.0f},      {"tertiary_link", 30.0f}, {"unclassified", 40.0f},   {"residential", 30.0f},
        {"service", 20.0f},       {"living_street", 10.0f},
    };
    return table;
}

const RoadClassTable& ev_default_factors() {
    static const RoadClassTable table = {
        {"motorway", 1.0f},      {"motorway_link", 1.0f},   {"trunk", 1.0f},         {"trunk_link", 1.0f},
        {"primary", 1.05f},      {"primary_link", 1.06f},   {"secondary", 1.12f},    {"secondary_link", 1.14f},
        {"tertiary", 1.22f},     {"tertiary_link", 1.24f},  {"unclassified", 1.15f}, {"road", 1.15f},
        {"residential", 1.45f},  {"living_street", 1.55f},  {"service", 1.5f},       {"track", 1.6f},
    };
    return table;
}

// Step 1 of every cost: a toll road in a country whose tolls are avoided is impassable.
bool toll_avoided(const TollAvoidance& avoidance, bool toll, std::optional<std::string_view> country) {
    if (!toll || !country || avoidance.empty()) return false;
    auto it = avoidance.find(*country);
    return it != avoidance.end() && it->second;
}

float class_speed(const RoadClassTable& table, std::string_view road_class) {
    auto it = table.find(road_class);
    return it == table.end() ? kUnknownClassSpeedKmh : it->second;
}

std::optional<std::string_view> borrowed(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return std::string_view(*text);
}

float largest_speed(const RoadClassTable& table) {
    float best = 30.0f;
    for (const auto& [road_class, speed] : table) best = std::max(best, speed);
    return best;
}

}  // namespace

std::string ascii_upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// ---- car ------------------------------------------------------------------------------------

CarProfile CarProfile::car_fast() {
    CarProfile p;
    p.name = "car-fast";
    p.speed_table = car_fast_speeds();
    p.distance_only = false;
    return p;
}

CarProfile CarProfile::car_short() {
    CarProfile p;
    p.name = "car-short";
    p.distance_only = true;
    return p;
}

float CarProfile::compute_cost_inline(std::optional<std::string_view> road_class, bool has_speed_limit,
                                      std::int16_t speed_limit_kmh, bool toll,
                                      std::optional<std::string_view> country, float length_m) const {
    if (toll_avoided(toll_avoidance, toll, country)) return kImpassableCost;
    if (distance_only) return length_m;
    std::string_view cls = road_class.value_or(kNoClass);
    float speed_kmh = class_speed(speed_table, cls);
    if (has_speed_limit) speed_kmh = std::min(static_cast<float>(speed_limit_kmh), speed_kmh);
    // A posted limit of zero or below leaves no speed to travel at: the edge cannot be used.
    // (Dividing would give infinity, NaN for a zero length, or a negative cost.)
    if (!(speed_kmh > 0.0f)) return std::numeric_limits<float>::infinity();
    float time_s = length_m / 1000.0f / speed_kmh * 3600.0f;
    if (!road_class_factors.empty()) {
        auto it = road_class_factors.find(cls);
        time_s *= it == road_class_factors.end() ? 1.0f : it->second;
    }
    return time_s;
}

float CarProfile::compute_cost(const EdgeData& edge) const {
    return compute_cost_inline(borrowed(edge.highway_type), edge.speed_limit_kmh.has_value(),
                               edge.speed_limit_kmh.value_or(0), edge.is_toll, borrowed(edge.country_code),
                               edge.distance_m);
}

double CarProfile::max_speed_ms() const { return static_cast<double>(largest_speed(speed_table)) / 3.6; }

std::string_view CarProfile::cost_unit() const { return distance_only ? "distance (meters)" : "time (seconds)"; }

// ---- EV -------------------------------------------------------------------------------------

EvProfile EvProfile::from_config(const EvConfig& vehicle) {
    EvProfile p;
    p.speed_table = ev_default_speeds();
    for (const auto& [road_class, speed] : vehicle.speed_table) p.speed_table.insert_or_assign(road_class, speed);
    p.road_class_factors = ev_default_factors();
    for (const auto& [road_class, factor] : vehicle.road_class_factors)
        p.road_class_factors.insert_or_assign(road_class, std::max(factor, 1.0f));
    p.max_speed_kmh = largest_speed(p.speed_table);
    p.vehicle_mass_kg = vehicle.vehicle_mass_kg;
    p.battery_capacity_kwh = vehicle.battery_capacity_kwh;
    p.base_consumption_wh_per_km = vehicle.base_consumption_wh_per_km;
    p.regen_efficiency = vehicle.regen_efficiency;
    p.motor_efficiency = vehicle.motor_efficiency;
    p.aero_factor = vehicle.aero_factor;
    p.time_weight = vehicle.time_weight.value_or(4.5f);
    p.toll_avoidance.clear();
    p.name = "ev-default";
    return p;
}

EvProfile EvProfile::from_config_efficient(const EvConfig& vehicle) {
    EvProfile p = from_config(vehicle);
    p.name = "ev-efficient";
    p.base_consumption_wh_per_km = std::max(vehicle.base_consumption_wh_per_km * 0.833f, 100.0f);
    p.regen_efficiency = std::min(vehicle.regen_efficiency + 0.05f, 1.0f);
    return p;
}

float EvProfile::road_class_factor(std::optional<std::string_view> road_class) const {
    auto it = road_class_factors.find(road_class.value_or(kNoClass));
    if (it == road_class_factors.end()) return kUnknownClassFactor;
    return std::max(it->second, 1.0f);
}

float EvProfile::climb_wh(std::optional<float> elevation_from_m, std::optional<float> elevation_to_m) const {
    if (!elevation_from_m || !elevation_to_m) return 0.0f;
    float dh_m = *elevation_to_m - *elevation_from_m;
    float work_j = dh_m * (vehicle_mass_kg * kGravity);
    if (dh_m > 0.0f) return work_j / (motor_efficiency * 3600.0f);
    return work_j * regen_efficiency / 3600.0f;
}

namespace {

// Cost steps 2 to 7 and 9 shared by both variants; the time term differs only in its order of
// evaluation, so it is passed in as a flag.
float ev_cost(const EvProfile& p, std::optional<std::string_view> road_class, bool has_speed_limit,
              std::int16_t speed_limit_kmh, float length_m, std::optional<float> elevation_from_m,
              std::optional<float> elevation_to_m, bool graph_edge) {
    float base_wh = p.base_consumption_wh_per_km * (length_m / 1000.0f);
    float climb = p.climb_wh(elevation_from_m, elevation_to_m);
    std::string_view cls = road_class.value_or(kNoClass);
    float cls_speed = class_speed(p.speed_table, cls);
    float speed_kmh = has_speed_limit ? std::max(static_cast<float>(speed_limit_kmh), cls_speed) : cls_speed;
    speed_kmh = std::min(speed_kmh, p.max_speed_kmh);
    float v_ms = speed_kmh / 3.6f;
    float drag_wh = length_m * (v_ms * (p.aero_factor * v_ms)) / 3600.0f;
    float time_term = 0.0f;
    if (p.time_weight > 0.0f)
        time_term = graph_edge ? (length_m * p.time_weight) / v_ms : p.time_weight * (length_m / v_ms);
    return std::max((((base_wh + climb) + drag_wh) + time_term) * p.road_class_factor(cls), kCostFloor);
}

}  // namespace

float EvProfile::compute_cost_inline(std::optional<std::string_view> road_class, bool has_speed_limit,
                                     std::int16_t speed_limit_kmh, bool toll,
                                     std::optional<std::string_view> country, float length_m,
                                     std::optional<float> elevation_from_m,
                                     std::optional<float> elevation_to_m) const {
    if (toll_avoided(toll_avoidance, toll, country)) return kImpassableCost;
    return ev_cost(*this, road_class, has_speed_limit, speed_limit_kmh, length_m, elevation_from_m, elevation_to_m,
                   true);
}

float EvProfile::compute_cost(const EdgeData& edge) const {
    if (toll_avoided(toll_avoidance, edge.is_toll, borrowed(edge.country_code))) return kImpassableCost;
    return ev_cost(*this, borrowed(edge.highway_type), edge.speed_limit_kmh.has_value(),
                   edge.speed_limit_kmh.value_or(0), edge.distance_m, edge.from_elevation_m, edge.to_elevation_m,
                   false);
}

float EvProfile::compute_energy_inline(std::optional<std::string_view> road_class, bool has_speed_limit,
                                       std::int16_t speed_limit_kmh, float length_m,
                                       std::optional<float> elevation_from_m,
                                       std::optional<float> elevation_to_m) const {
    float climb = climb_wh(elevation_from_m, elevation_to_m);
    float base_wh = (length_m / 1000.0f) * base_consumption_wh_per_km;
    float speed_kmh = class_speed(speed_table, road_class.value_or(kNoClass));
    if (has_speed_limit) speed_kmh = std::min(static_cast<float>(speed_limit_kmh), speed_kmh);
    float v_ms = speed_kmh / 3.6f;
    float drag_wh = length_m * (v_ms * (aero_factor * v_ms)) / 3600.0f;
    return std::max(base_wh + climb + drag_wh, kCostFloor);
}

std::string_view EvProfile::cost_unit() const { return "energy (Wh)"; }

// ---- the choice -----------------------------------------------------------------------------

RoutingProfile RoutingProfile::by_name_with_config(std::string_view name, const EvConfig& vehicle) {
    if (name == "car-fast") return {CarProfile::car_fast()};
    if (name == "car-short") return {CarProfile::car_short()};
    if (name == "ev-default") return {EvProfile::from_config(vehicle)};
    if (name == "ev-efficient") return {EvProfile::from_config_efficient(vehicle)};
    log::warn(kTarget, "Unknown profile '{}', falling back to car-fast", name);
    return {CarProfile::car_fast()};
}

RoutingProfile RoutingProfile::with_toll_overrides(const std::optional<std::vector<std::string>>& avoid,
                                                   const std::optional<std::vector<std::string>>& allow,
                                                   bool allow_all) && {
    TollAvoidance& map = toll_avoidance();
    if (allow_all) {
        map.clear();
        return std::move(*this);
    }
    if (avoid)
        for (const auto& code : *avoid) map.insert_or_assign(ascii_upper(code), true);
    if (allow)
        for (const auto& code : *allow) map.insert_or_assign(ascii_upper(code), false);
    return std::move(*this);
}

float RoutingProfile::compute_cost(const EdgeData& edge) const {
    return std::visit([&](const auto& p) { return p.compute_cost(edge); }, kind);
}

const std::string& RoutingProfile::name() const {
    return std::visit([](const auto& p) -> const std::string& { return p.name; }, kind);
}

std::string_view RoutingProfile::cost_unit() const {
    return std::visit([](const auto& p) { return p.cost_unit(); }, kind);
}

const TollAvoidance& RoutingProfile::toll_avoidance() const {
    return std::visit([](const auto& p) -> const TollAvoidance& { return p.toll_avoidance; }, kind);
}

TollAvoidance& RoutingProfile::toll_avoidance() {
    return std::visit([](auto& p) -> TollAvoidance& { return p.toll_avoidance; }, kind);
}

}  // namespace quorvel_routing
