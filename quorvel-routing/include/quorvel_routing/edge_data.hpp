#pragma once
// One directed road edge as the database delivers it; the profiles cost it.

#include <cstdint>
#include <optional>
#include <string>

namespace quorvel_routing {

struct EdgeData {
    std::int64_t from_node = 0;
    std::int64_t to_node = 0;
    std::optional<std::int64_t> way_id;
    float distance_m = 0.0f;
    std::optional<std::string> highway_type;
    std::optional<std::int16_t> speed_limit_kmh;
    bool is_toll = false;
    std::optional<std::string> surface;
    std::optional<std::string> country_code;
    std::optional<float> from_elevation_m;
    std::optional<float> to_elevation_m;
};

}  // namespace quorvel_routing
