#pragma once
// Statistics, the fast report and the GeoJSON feature of a car route found on the graph file.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/platform/error.hpp"

namespace route_calculator {

struct Point {
    double lat = 0.0;
    double lon = 0.0;
};

struct RouteStats {
    double distance_m = 0.0;
    double ascent_m = 0.0;
    double descent_m = 0.0;
    std::optional<float> min_elevation_m;
    std::optional<float> max_elevation_m;
    bool has_elevation = false;
    nlohmann::json coordinates = nlohmann::json::array();  // [lon, lat] or [lon, lat, elevation]
};

// Straight-line length through the path's nodes; elevations from the first out-edge of u whose
// target is v, for each consecutive pair (u, v). The first position never carries an elevation.
[[nodiscard]] quorvel_routing::Result<RouteStats> fast_route_stats(const quorvel_routing::MappedGraph& graph,
                                                                    std::span<const std::uint32_t> path);

struct FastReportInput {
    std::string profile_name;
    std::string cost_unit;
    Point start;
    Point end;
    std::size_t route_nodes = 0;
    double cost = 0.0;
    std::uint64_t nodes_explored = 0;
    double route_time_ms = 0.0;
    double total_time_ms = 0.0;
};

// The report lines, each ending in a newline, starting with the empty line.
[[nodiscard]] std::string render_fast_report(const FastReportInput& input, const RouteStats& stats);
// The elevation block shared by the reports (empty line, heading, four lines).
[[nodiscard]] std::string render_elevation_block(const RouteStats& stats);

[[nodiscard]] nlohmann::json fast_route_geojson(const FastReportInput& input, const RouteStats& stats);

// A FeatureCollection of one LineString feature.
[[nodiscard]] nlohmann::json route_feature_collection(nlohmann::json coordinates, nlohmann::json properties);

}  // namespace route_calculator
