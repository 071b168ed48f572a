#include "quorvel_routing/spatial.hpp"

#include <limits>

namespace quorvel_routing {

double haversine_m(double lat1, double lon1, double lat2, double lon2) {
    double phi1 = lat1 * kDegToRad;
    double phi2 = lat2 * kDegToRad;
    double s_lat = std::sin((lat2 - lat1) * kDegToRad * 0.5);
    double s_lon = std::sin((lon2 - lon1) * kDegToRad * 0.5);
    double a = s_lat * s_lat + std::cos(phi1) * std::cos(phi2) * s_lon * s_lon;
    // Rounding can push a just above 1 for (nearly) antipodal points; asin would give NaN.
    a = std::min(a, 1.0);
    return 2.0 * std::asin(std::sqrt(a)) * kEarthRadiusM;
}

std::int32_t saturating_floor_i32(double value) {
    if (std::isnan(value)) return 0;
    double f = std::floor(value);
    if (f <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) return std::numeric_limits<std::int32_t>::min();
    if (f >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(f);
}

}  // namespace quorvel_routing
