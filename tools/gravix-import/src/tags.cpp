#include "tags.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <utility>

#include "quorvel_routing/graph_writer.hpp"

namespace gravix_import {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Leading decimal number of `s` (digits with an optional fraction); the rest in `rest`.
std::optional<double> leading_number(std::string_view s, std::string_view& rest) {
    s = trim(s);
    std::size_t i = 0;
    while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.' || s[i] == ',')) ++i;
    if (i == 0) return std::nullopt;
    std::string digits(s.substr(0, i));
    std::replace(digits.begin(), digits.end(), ',', '.');
    double value = 0.0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
    rest = trim(s.substr(i));
    return value;
}

// Legal speed limits by zone, km/h. "none" is no limit (German motorways).
struct Zone {
    std::string_view name;
    int kmh;
};
constexpr std::array<Zone, 40> kZones = {{
    {"ad:urban", 50},    {"ad:rural", 90},     {"at:urban", 50},   {"at:rural", 100},
    {"at:motorway", 130}, {"at:trunk", 100},   {"be:urban", 50},   {"be-vlg:rural", 70},
    {"be-wal:rural", 90}, {"be:motorway", 120}, {"ch:urban", 50},  {"ch:rural", 80},
    {"ch:trunk", 100},   {"ch:motorway", 120}, {"cz:urban", 50},   {"cz:rural", 90},
    {"cz:motorway", 130}, {"de:urban", 50},    {"de:rural", 100},  {"de:living_street", 7},
    {"de:bicycle_road", 30}, {"dk:urban", 50}, {"dk:rural", 80},   {"dk:motorway", 130},
    {"es:urban", 50},    {"es:rural", 90},     {"es:motorway", 120}, {"fr:urban", 50},
    {"fr:rural", 80},    {"fr:motorway", 130}, {"gb:nsl_single", 97}, {"gb:nsl_dual", 113},
    {"gb:motorway", 113}, {"it:urban", 50},    {"it:rural", 90},   {"it:motorway", 130},
    {"nl:urban", 50},    {"nl:rural", 80},     {"nl:motorway", 100}, {"pt:urban", 50},
}};

}  // namespace

std::optional<std::uint8_t> road_class_of(std::string_view highway) {
    if (auto code = quorvel_routing::road_class_code(highway)) return code;
    if (highway == "road") return kNoRoadClass;
    return std::nullopt;
}

Direction direction_of(std::string_view highway, std::optional<std::string_view> oneway,
                       std::optional<std::string_view> junction) {
    if (oneway) {
        std::string v = lower(trim(*oneway));
        if (v == "yes" || v == "true" || v == "1") return Direction::Forward;
        if (v == "-1" || v == "reverse") return Direction::Backward;
        if (v == "no" || v == "false" || v == "0") return Direction::Both;
        if (v == "reversible" || v == "alternating") return Direction::Closed;
    }
    if (highway == "motorway") return Direction::Forward;
    if (junction && (*junction == "roundabout" || *junction == "circular")) return Direction::Forward;
    return Direction::Both;
}

std::optional<int> parse_maxspeed_kmh(std::string_view value) {
    value = trim(value);
    if (auto semi = value.find(';'); semi != std::string_view::npos) value = trim(value.substr(0, semi));
    std::string v = lower(value);
    if (v == "walk") return 7;
    for (const Zone& zone : kZones)
        if (zone.name == v) return zone.kmh;
    if (v.size() > 3 && v.ends_with(":urban")) return 50;
    if (v.ends_with(":living_street")) return 7;
    std::string_view rest;
    auto number = leading_number(v, rest);
    if (!number) return std::nullopt;
    double kmh = *number;
    if (rest.empty() || rest == "km/h" || rest == "kmh" || rest == "kph") {
    } else if (rest == "mph") {
        kmh *= 1.609344;
    } else if (rest == "knots") {
        kmh *= 1.852;
    } else {
        return std::nullopt;
    }
    int rounded = static_cast<int>(std::lround(kmh));
    if (rounded <= 0 || rounded > 1000) return std::nullopt;
    return rounded;
}

std::optional<std::uint8_t> access_value_class(std::string_view value) {
    static constexpr std::pair<std::string_view, std::uint8_t> kValues[] = {
        {"yes", 0},          {"permissive", 0},   {"designated", 0}, {"official", 0},
        {"discouraged", 0},  {"destination", 1},  {"delivery", 2},   {"customers", 3},
        {"private", 4},      {"permit", 4},       {"residents", 4},  {"no", 5},
        {"agricultural", 6}, {"forestry", 6},     {"military", 7},   {"emergency", 7},
        {"psv", 7},          {"bus", 7},          {"taxi", 7},       {"hov", 7},
        {"restricted", 7},   {"dismount", 7},     {"hgv", 7},        {"goods", 7},
        {"disabled", 7},     {"service", 7},
    };
    std::optional<std::uint8_t> best;
    std::string_view rest = value;
    while (true) {
        auto semi = rest.find(';');
        std::string piece = lower(trim(rest.substr(0, semi)));
        for (const auto& [name, cls] : kValues)
            if (name == piece && (!best || cls < *best)) best = cls;
        if (semi == std::string_view::npos) break;
        rest = rest.substr(semi + 1);
    }
    return best;
}

std::uint8_t access_class_of(const AccessTags& tags) {
    for (const auto& tag : {tags.motorcar, tags.motor_vehicle, tags.vehicle, tags.access}) {
        if (!tag) continue;
        if (auto cls = access_value_class(*tag)) return *cls;
    }
    return 0;
}

std::uint8_t barrier_access_class(std::string_view barrier, const AccessTags& tags) {
    for (const auto& tag : {tags.motorcar, tags.motor_vehicle, tags.vehicle, tags.access}) {
        if (!tag) continue;
        if (auto cls = access_value_class(*tag)) return *cls;
    }
    static constexpr std::string_view kBlocking[] = {
        "bollard",     "block",      "jersey_barrier", "log",        "rock",       "cycle_barrier",
        "kissing_gate", "stile",     "turnstile",      "full-height_turnstile", "motorcycle_barrier",
        "bus_trap",    "chain",      "planter",        "debris",     "barrier_board", "rope",
        "sump_buster", "wedge",      "spikes",         "fence",      "wall",       "kerb_barrier",
    };
    for (auto kind : kBlocking)
        if (kind == barrier) return 5;
    return 0;
}

std::optional<double> parse_power_kw(std::string_view value) {
    std::optional<double> best;
    std::string_view rest_list = value;
    while (true) {
        auto semi = rest_list.find(';');
        std::string piece = lower(trim(rest_list.substr(0, semi)));
        std::string_view unit;
        if (auto number = leading_number(piece, unit)) {
            std::optional<double> kw;
            if (unit == "kw" || unit == "kva") kw = *number;
            else if (unit == "w" || unit == "va") kw = *number / 1000.0;
            else if (unit == "mw") kw = *number * 1000.0;
            else if (unit.empty()) kw = *number > 1000.0 ? *number / 1000.0 : *number;
            if (kw && *kw > 0.0 && (!best || *kw > *best)) best = kw;
        }
        if (semi == std::string_view::npos) break;
        rest_list = rest_list.substr(semi + 1);
    }
    return best;
}

std::string plug_name_of_socket(std::string_view socket_type) {
    static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
        {"type2", "Type2"},
        {"type2_cable", "Type2"},
        {"type2_combo", "CCS"},
        {"type1", "Type1"},
        {"type1_combo", "CCS1"},
        {"chademo", "CHAdeMO"},
        {"tesla_supercharger", "Tesla"},
        {"tesla_supercharger_ccs", "CCS"},
        {"tesla_destination", "Tesla"},
        {"tesla_standard", "Tesla"},
        {"nacs", "NACS"},
        {"schuko", "Schuko"},
        {"type3a", "Type3A"},
        {"type3c", "Type3C"},
        {"cee_blue", "CEE_blue"},
        {"cee_red_16a", "CEE_red"},
        {"cee_red_32a", "CEE_red"},
        {"cee_red_63a", "CEE_red"},
        {"cee_red_125a", "CEE_red"},
        {"gb_t_dc", "GB/T_DC"},
        {"gb_t_ac", "GB/T_AC"},
        {"mcs", "MCS"},
    };
    std::string key = lower(socket_type);
    for (const auto& [osm, name] : kNames)
        if (osm == key) return std::string(name);
    return std::string(socket_type);
}

bool socket_present(std::string_view value) {
    std::string v = lower(trim(value));
    if (v.empty() || v == "no" || v == "0") return false;
    return true;
}

bool is_yes(std::string_view value) {
    std::string v = lower(trim(value));
    return v == "yes" || v == "true" || v == "1";
}

}  // namespace gravix_import
