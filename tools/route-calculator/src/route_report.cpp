#include "route_report.hpp"

#include <fmt/format.h>

#include <cmath>

#include "quorvel_routing/platform/text.hpp"
#include "quorvel_routing/spatial.hpp"

namespace route_calculator {

namespace qr = quorvel_routing;
using qr::text::f64;

namespace {

nlohmann::json position(const qr::NodeCoord& c) {
    return nlohmann::json::array({static_cast<double>(c.lon), static_cast<double>(c.lat)});
}

float round1_f32(float v) { return std::round(v * 10.0f) / 10.0f; }

}  // namespace

qr::Result<RouteStats> fast_route_stats(const qr::MappedGraph& graph, std::span<const std::uint32_t> path) {
    RouteStats stats;
    if (path.empty()) return stats;
    stats.coordinates.push_back(position(graph.node_coord(path.front())));
    for (size_t i = 1; i < path.size(); ++i) {
        std::uint32_t u = path[i - 1], v = path[i];
        qr::NodeCoord cu = graph.node_coord(u), cv = graph.node_coord(v);
        stats.distance_m += qr::haversine_m(cu.lat, cu.lon, cv.lat, cv.lon);

        std::optional<qr::EdgeView> found;
        qr::EdgeRange range = QR_TRY(graph.out_edges(u));
        for (std::uint32_t e : range) {
            qr::EdgeView edge = QR_TRY(graph.edge(e));
            if (edge.target == v) {
                found = edge;
                break;
            }
        }
        nlohmann::json pos = position(cv);
        if (found && found->has_elevation) {
            float to = found->elevation_to_m;
            float d = to - found->elevation_from_m;
            if (d > 0) stats.ascent_m += d;
            else stats.descent_m += -d;
            stats.min_elevation_m = stats.min_elevation_m ? std::min(*stats.min_elevation_m, to) : to;
            stats.max_elevation_m = stats.max_elevation_m ? std::max(*stats.max_elevation_m, to) : to;
            stats.has_elevation = true;
            pos.push_back(static_cast<double>(round1_f32(to)));
        }
        stats.coordinates.push_back(std::move(pos));
    }
    return stats;
}

std::string render_elevation_block(const RouteStats& stats) {
    std::string out = "\n--- Elevation Profile ---\n";
    out += fmt::format("Total ascent:    {:.0f} m\n", stats.ascent_m);
    out += fmt::format("Total descent:   {:.0f} m\n", stats.descent_m);
    if (stats.min_elevation_m && stats.max_elevation_m) {
        out += fmt::format("Min elevation:   {:.0f} m\n", *stats.min_elevation_m);
        out += fmt::format("Max elevation:   {:.0f} m\n", *stats.max_elevation_m);
    }
    return out;
}

std::string render_fast_report(const FastReportInput& in, const RouteStats& stats) {
    std::string out = "\n=== Route Calculation Results (Fast) ===\n";
    out += fmt::format("Profile: {} ({})\n", in.profile_name, in.cost_unit);
    out += fmt::format("Start: ({}, {})\n", f64(in.start.lat), f64(in.start.lon));
    out += fmt::format("End: ({}, {})\n", f64(in.end.lat), f64(in.end.lon));
    out += fmt::format("Route nodes: {}\n", in.route_nodes);
    out += fmt::format("Total distance: {:.2f} km\n", stats.distance_m / 1000.0);
    out += fmt::format("Total cost: {:.1f} {}\n", in.cost, in.cost_unit);
    out += fmt::format("Nodes explored: {}\n", in.nodes_explored);
    out += fmt::format("Route time: {:.1f} ms\n", in.route_time_ms);
    out += fmt::format("Total time: {:.1f} ms\n", in.total_time_ms);
    if (stats.has_elevation) out += render_elevation_block(stats);
    return out;
}

nlohmann::json route_feature_collection(nlohmann::json coordinates, nlohmann::json properties) {
    nlohmann::json feature = {
        {"type", "Feature"},
        {"geometry", {{"type", "LineString"}, {"coordinates", std::move(coordinates)}}},
        {"properties", std::move(properties)},
    };
    return {{"type", "FeatureCollection"}, {"features", nlohmann::json::array({std::move(feature)})}};
}

nlohmann::json fast_route_geojson(const FastReportInput& in, const RouteStats& stats) {
    nlohmann::json props = {
        {"profile", in.profile_name},
        {"cost_unit", in.cost_unit},
        {"distance_km", qr::text::round_to(stats.distance_m / 1000.0, 2)},
        {"total_cost", qr::text::round_to(in.cost, 1)},
        {"route_nodes", in.route_nodes},
        {"nodes_explored", in.nodes_explored},
        {"route_time_ms", qr::text::round_to(in.route_time_ms, 1)},
        {"start", nlohmann::json::array({in.start.lon, in.start.lat})},
        {"end", nlohmann::json::array({in.end.lon, in.end.lat})},
    };
    if (stats.has_elevation) {
        props["total_ascent_m"] = qr::text::round_to(stats.ascent_m, 1);
        props["total_descent_m"] = qr::text::round_to(stats.descent_m, 1);
        if (stats.min_elevation_m) props["min_elevation_m"] = static_cast<double>(round1_f32(*stats.min_elevation_m));
        if (stats.max_elevation_m) props["max_elevation_m"] = static_cast<double>(round1_f32(*stats.max_elevation_m));
    }
    return route_feature_collection(stats.coordinates, std::move(props));
}

}  // namespace route_calculator
