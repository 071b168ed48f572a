// calculate-fast: one route on the memory-mapped graph file.
#include <fmt/format.h>

#include <chrono>
#include <cstdio>

#include "commands.hpp"
#include "quorvel_routing/database.hpp"
#include "quorvel_routing/platform/log.hpp"
#include "quorvel_routing/platform/text.hpp"
#include "quorvel_routing/profile.hpp"
#include "quorvel_routing/router.hpp"
#include "quorvel_routing/spatial.hpp"
#include "route_file.hpp"
#include "route_report.hpp"

namespace route_calculator {

namespace qr = quorvel_routing;
using qr::text::f64;

namespace {

using Clock = std::chrono::steady_clock;

double elapsed_ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

void print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Replaces a point by the resolved position of an address, logging the resolution.
Result<void> resolve_into(qr::DatabaseClient& client, const std::string& query, const char* which, Point& point) {
    qr::ResolvedAddress resolved = QR_TRY(qr::resolve_address(query, client));
    qr::log::info(kLogTarget, "Resolved {}: \"{}\" -> ({}, {}) '{}'", which, query, f64(resolved.latitude),
                  f64(resolved.longitude), resolved.label);
    point = Point{resolved.latitude, resolved.longitude};
    return {};
}

Result<void> log_snapped(const qr::MappedGraph& graph, const char* which, std::uint32_t node, const Point& point) {
    qr::NodeCoord c = graph.node_coord(node);
    double distance_m = qr::haversine_m(point.lat, point.lon, c.lat, c.lon);
    std::uint32_t degree = QR_TRY(graph.out_degree(node));
    qr::log::info(kLogTarget, "  {} node: idx={} (OSM {}), {:.1f}m away, degree={}", which, node,
                  graph.node_osm_id(node), distance_m, degree);
    return {};
}

}  // namespace

Result<std::optional<std::uint32_t>> snap_to_best_node(const qr::MappedGraph& graph, qr::NodeTest test, double lat,
                                                       double lon) {
    std::vector<qr::NearestNode> candidates = QR_TRY(graph.find_within(lat, lon, 500.0, test));
    if (candidates.empty()) {
        std::optional<qr::NearestNode> nearest = QR_TRY(graph.find_nearest(lat, lon, 2000.0, test));
        if (!nearest) return std::optional<std::uint32_t>{};
        return std::optional<std::uint32_t>{nearest->node};
    }
    if (candidates.size() == 1) return std::optional<std::uint32_t>{candidates.front().node};
    std::optional<std::uint32_t> best;
    double best_score = 0.0;
    for (const auto& candidate : candidates) {
        std::uint32_t degree = QR_TRY(graph.out_degree(candidate.node));
        double score = candidate.distance_m + (degree < 2 ? 100.0 : 0.0);
        if (!best || score < best_score) {
            best = candidate.node;
            best_score = score;
        }
    }
    return best;
}

Result<void> run_calculate_fast(CalculateFast args) {
    auto total_timer = Clock::now();
    qr::Config config = QR_TRY(qr::Config::load_from_dir(args.config_dir));

    qr::log::info(kLogTarget, "Opening graph file: {}", args.graph_file);
    qr::MappedGraph graph = QR_TRY(qr::MappedGraph::open(args.graph_file));

    Point start{args.start_lat.value_or(0.0), args.start_lon.value_or(0.0)};
    Point end{args.end_lat.value_or(0.0), args.end_lon.value_or(0.0)};
    if (start.lat == 0.0 && start.lon == 0.0 && !args.start_address)
        start = Point{config.route.start.latitude, config.route.start.longitude};
    if (end.lat == 0.0 && end.lon == 0.0 && !args.end_address)
        end = Point{config.route.end.latitude, config.route.end.longitude};

    if (args.start_address || args.end_address) {
        const qr::DatabaseConnection& target = QR_TRY(get_database_connection(config.database, args.target)).get();
        qr::DatabaseClient client = QR_TRY(qr::connect(target));
        if (args.start_address) QR_TRY(resolve_into(client, *args.start_address, "start", start));
        if (args.end_address) QR_TRY(resolve_into(client, *args.end_address, "end", end));
    }

    qr::log::info(kLogTarget, "Route: ({}, {}) -> ({}, {})", f64(start.lat), f64(start.lon), f64(end.lat),
                  f64(end.lon));

    qr::RoutingProfile profile = qr::RoutingProfile::by_name_with_config(args.profile, config.vehicle)
                                     .with_toll_overrides(args.avoid_tolls, std::nullopt, args.allow_all_tolls);
    qr::log::info(kLogTarget, "Using profile: {} ({})", profile.name(), profile.cost_unit());

    qr::log::info(kLogTarget, "Finding nearest nodes...");
    auto lookup_timer = Clock::now();
    auto routable = [&graph](std::uint32_t node) { return graph.is_routable(node); };
    std::optional<std::uint32_t> start_node = QR_TRY(snap_to_best_node(graph, routable, start.lat, start.lon));
    if (!start_node) return qr::fail(fmt::format("No routable node near start ({}, {})", f64(start.lat), f64(start.lon)));
    std::optional<std::uint32_t> end_node = QR_TRY(snap_to_best_node(graph, routable, end.lat, end.lon));
    if (!end_node) return qr::fail(fmt::format("No routable node near end ({}, {})", f64(end.lat), f64(end.lon)));
    QR_TRY(log_snapped(graph, "Start", *start_node, start));
    QR_TRY(log_snapped(graph, "End", *end_node, end));
    qr::log::info(kLogTarget, "  Nearest-node lookup: {:.1f}ms", elapsed_ms(lookup_timer));

    if (profile.ev()) return qr::fail("EV planning is not available in this build");

    qr::log::info(kLogTarget, "Computing route (bidirectional A*, max {} steps)...", args.max_steps);
    auto route_timer = Clock::now();
    qr::RouteOutcome outcome = qr::find_route(graph, *start_node, *end_node, profile, args.max_steps);
    double route_time_ms = elapsed_ms(route_timer);
    if (!outcome)
        return qr::fail(fmt::format("No route between nodes {} and {}: {}", graph.node_osm_id(*start_node),
                                    graph.node_osm_id(*end_node), outcome.error().display()));
    qr::log::info(kLogTarget, "Route found in {:.1f}ms ({} nodes explored)", route_time_ms, outcome->nodes_explored);

    RouteStats stats = QR_TRY(fast_route_stats(graph, outcome->path));
    FastReportInput report{profile.name(),   std::string(profile.cost_unit()), start,         end,
                           outcome->path.size(), outcome->cost,                  outcome->nodes_explored,
                           route_time_ms,        elapsed_ms(total_timer)};
    print(render_fast_report(report, stats));

    if (args.output) {
        QR_TRY(write_json_file(*args.output, fast_route_geojson(report, stats)));
        print(fmt::format("\nRoute saved to {}\n", *args.output));
    }
    return {};
}

}  // namespace route_calculator
