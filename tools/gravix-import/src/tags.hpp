#pragma once
// Reading OSM tag values into the road attributes of the graph: road class, direction,
// speed limit, access class, charging power and plug names. Pure functions on tag texts.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gravix_import {

// Road class index of the graph file for a `highway` value; 14 ("no class") for `road`;
// nullopt for values a car does not drive on (footway, track, construction, ...).
[[nodiscard]] std::optional<std::uint8_t> road_class_of(std::string_view highway);
inline constexpr std::uint8_t kNoRoadClass = 14;

enum class Direction : std::uint8_t { Both, Forward, Backward, Closed };

// Direction of travel allowed on a way: `oneway` yes/true/1 forward, -1/reverse backward,
// no/false/0 both; without a usable value, implied forward on motorways and roundabouts.
// `reversible` and `alternating` (direction changes over the day) give Closed.
[[nodiscard]] Direction direction_of(std::string_view highway, std::optional<std::string_view> oneway,
                                     std::optional<std::string_view> junction);

// Posted speed in km/h: "50", "50 km/h", "30 mph", "10 knots", common zone values such as
// "FR:urban" or "DE:rural", "walk". Nullopt for "none", "signals", unknown texts and 0.
// Of a list ("50;30") the first value counts.
[[nodiscard]] std::optional<int> parse_maxspeed_kmh(std::string_view value);

// Access class of one tag value: 0 open, 1 destination, 2 delivery, 3 customers, 4 private,
// 5 no, 6 agricultural/forestry, 7 other users only (psv, military, emergency, ...);
// nullopt for texts that say nothing about cars ("unknown", conditional forms).
// A list ("destination;delivery") takes its most permissive known entry.
[[nodiscard]] std::optional<std::uint8_t> access_value_class(std::string_view value);

struct AccessTags {
    std::optional<std::string_view> access;
    std::optional<std::string_view> vehicle;
    std::optional<std::string_view> motor_vehicle;
    std::optional<std::string_view> motorcar;
};

// The most specific tag with a known value wins: motorcar, then motor_vehicle, then
// vehicle, then access; 0 when none says anything.
[[nodiscard]] std::uint8_t access_class_of(const AccessTags& tags);

// Access class a `barrier` node puts on the road edges that touch it: its own access tags when
// they say something about cars (most specific first, as for ways), otherwise by kind: 5 for
// barriers no car passes (bollard, block, jersey_barrier, stile, chain, ...), 0 for gates, toll
// booths, border controls, cattle grids and kinds not known.
[[nodiscard]] std::uint8_t barrier_access_class(std::string_view barrier, const AccessTags& tags);

// Charging power in kW from an output value: "22 kW", "50kW", "3.7", "11000 W", "150 kVA",
// lists ("22;50" -> the largest). Bare numbers are kW, except above 1000, which are watts.
[[nodiscard]] std::optional<double> parse_power_kw(std::string_view value);

// Plug name for an OSM socket type (the part after "socket:"): type2 -> "Type2",
// type2_combo -> "CCS", chademo -> "CHAdeMO", ...; other types keep their OSM name.
[[nodiscard]] std::string plug_name_of_socket(std::string_view socket_type);

// A socket count value that means the socket is present ("2", "yes"); "0" and "no" do not.
[[nodiscard]] bool socket_present(std::string_view value);

// `toll`-style yes values.
[[nodiscard]] bool is_yes(std::string_view value);

}  // namespace gravix_import
