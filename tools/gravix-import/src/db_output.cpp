#include <fmt/format.h>

#include <chrono>

#include "outputs.hpp"
#include "quorvel_routing/platform/log.hpp"
#include "quorvel_routing/platform/pg.hpp"
#include "quorvel_routing/platform/text.hpp"

namespace gravix_import {

using quorvel_routing::Error;
using quorvel_routing::fail;
namespace pg = quorvel_routing::pg;
namespace text = quorvel_routing::text;

namespace {

using Field = std::optional<std::string_view>;

std::optional<std::string_view> view(const std::optional<std::string>& s) {
    if (!s) return std::nullopt;
    return std::string_view(*s);
}

std::string point_ewkt(double lat, double lon) {
    return fmt::format("SRID=4326;POINT({} {})", text::f64(lon), text::f64(lat));
}

Result<std::int64_t> copy_nodes(pg::Connection& db, const RoadNetwork& net) {
    auto copy = QR_TRY(db.copy_in("COPY nodes (id, lat, lon, geometry) FROM STDIN"));
    for (const auto& n : net.nodes) {
        std::string id = std::to_string(n.osm_id), lat = text::f64(n.lat), lon = text::f64(n.lon);
        std::string geometry = point_ewkt(n.lat, n.lon);
        QR_TRY(copy.put_row({id, lat, lon, geometry}));
    }
    return copy.finish();
}

Result<std::int64_t> copy_edges(pg::Connection& db, const RoadNetwork& net) {
    auto copy = QR_TRY(db.copy_in(
        "COPY routing_edges (from_node, to_node, way_id, distance_m, highway_type, speed_limit_kmh, is_toll, "
        "surface, country_code, from_elevation_m, to_elevation_m) FROM STDIN"));
    for (const auto& e : net.edges) {
        const RoadWay& way = net.ways[e.way];
        if (e.access_class > kMaxDatabaseAccessClass) continue;
        const RoadNode& a = net.nodes[e.from];
        const RoadNode& b = net.nodes[e.to];
        std::string from = std::to_string(a.osm_id), to = std::to_string(b.osm_id), way_id = std::to_string(way.osm_id);
        std::string distance = text::f32(static_cast<float>(e.length_m));
        std::optional<std::string> speed;
        if (e.maxspeed_kmh) speed = std::to_string(std::min(*e.maxspeed_kmh, 32767));
        std::optional<std::string> from_elevation, to_elevation;
        if (a.elevation_m && b.elevation_m) {
            from_elevation = text::f32(static_cast<float>(*a.elevation_m));
            to_elevation = text::f32(static_cast<float>(*b.elevation_m));
        }
        Field country;
        if (e.country_code != 0) country = net.country_codes[e.country_code];
        QR_TRY(copy.put_row({from, to, way_id, distance, way.highway, view(speed), way.toll ? "t" : "f", view(way.surface),
                             country, view(from_elevation), view(to_elevation)}));
    }
    return copy.finish();
}

Result<std::int64_t> copy_segments(pg::Connection& db, const RoadNetwork& net) {
    auto copy = QR_TRY(db.copy_in("COPY road_segments (id, highway_type, geometry) FROM STDIN"));
    std::string line;
    for (const auto& way : net.ways) {
        line = "SRID=4326;LINESTRING(";
        for (std::size_t i = 0; i < way.nodes.size(); ++i) {
            if (i > 0) line += ',';
            const RoadNode& n = net.nodes[way.nodes[i]];
            line += text::f64(n.lon);
            line += ' ';
            line += text::f64(n.lat);
        }
        line += ')';
        std::string id = std::to_string(way.osm_id);
        QR_TRY(copy.put_row({id, way.highway, line}));
    }
    return copy.finish();
}

Result<std::int64_t> copy_way_nodes(pg::Connection& db, const RoadNetwork& net) {
    auto copy = QR_TRY(db.copy_in("COPY way_nodes (way_id, sequence_id, node_id) FROM STDIN"));
    for (const auto& way : net.ways) {
        std::string id = std::to_string(way.osm_id);
        for (std::size_t i = 0; i < way.nodes.size(); ++i) {
            std::string seq = std::to_string(i), node = std::to_string(net.nodes[way.nodes[i]].osm_id);
            QR_TRY(copy.put_row({id, seq, node}));
        }
    }
    return copy.finish();
}

Result<std::int64_t> copy_stations(pg::Connection& db, const RoadNetwork& net) {
    auto copy = QR_TRY(db.copy_in(
        "COPY charging_stations (id, source, lat, lon, power_kw, operator, network, plug_types, is_fast_ac, "
        "is_fast_dc, geometry) FROM STDIN"));
    for (const auto& s : net.stations) {
        // Areas get their negated way id, so that they never collide with a node's id.
        std::string id = std::to_string(s.osm_type == 'w' ? -s.id : s.id);
        std::string lat = text::f64(s.lat), lon = text::f64(s.lon), geometry = point_ewkt(s.lat, s.lon);
        std::optional<std::string> power;
        if (s.power_kw) power = text::f32(static_cast<float>(*s.power_kw));
        QR_TRY(copy.put_row({id, "osm", lat, lon, view(power), view(s.operator_name), view(s.network),
                             view(s.plug_types), s.is_fast_ac ? "t" : "f", s.is_fast_dc ? "t" : "f", geometry}));
    }
    return copy.finish();
}

Result<std::int64_t> copy_places(pg::Connection& db, const RoadNetwork& net) {
    auto copy = QR_TRY(db.copy_in(
        "COPY address_points (osm_type, osm_id, lat, lon, name, street, housenumber, city, postcode, category, "
        "brand, operator, country, geometry) FROM STDIN"));
    for (const auto& p : net.places) {
        std::string id = std::to_string(p.osm_id);
        std::string lat = text::f64(p.lat), lon = text::f64(p.lon), geometry = point_ewkt(p.lat, p.lon);
        QR_TRY(copy.put_row({p.osm_type == 'w' ? "way" : "node", id, lat, lon, view(p.name), view(p.street),
                             view(p.housenumber), view(p.city), view(p.postcode), view(p.category), view(p.brand),
                             view(p.operator_name), view(p.country), geometry}));
    }
    return copy.finish();
}

}  // namespace

Result<DatabaseLoadCounts> load_database(const RoadNetwork& net, const std::string& conninfo,
                                         const std::function<void(const std::string&)>& progress) {
    auto db = QR_TRY(pg::Connection::open(conninfo));
    DatabaseLoadCounts counts;
    const auto start = std::chrono::steady_clock::now();
    auto loaded = [&](const char* table, std::int64_t rows) {
        if (!progress) return;
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        progress(fmt::format("  {}: {} rows ({} s)", table, rows, text::fixed(s, 1)));
    };
    auto run = [&]() -> Result<void> {
        QR_TRY(db.exec("BEGIN"));
        QR_TRY(db.exec_script(schema_sql()));
        QR_TRY(db.exec("TRUNCATE nodes, routing_edges, road_segments, way_nodes, charging_stations, address_points "
                       "RESTART IDENTITY"));
        counts.nodes = QR_TRY(copy_nodes(db, net));
        loaded("nodes", counts.nodes);
        counts.routing_edges = QR_TRY(copy_edges(db, net));
        loaded("routing_edges", counts.routing_edges);
        counts.road_segments = QR_TRY(copy_segments(db, net));
        loaded("road_segments", counts.road_segments);
        counts.way_nodes = QR_TRY(copy_way_nodes(db, net));
        loaded("way_nodes", counts.way_nodes);
        counts.charging_stations = QR_TRY(copy_stations(db, net));
        loaded("charging_stations", counts.charging_stations);
        counts.address_points = QR_TRY(copy_places(db, net));
        loaded("address_points", counts.address_points);
        QR_TRY(db.exec("COMMIT"));
        return {};
    };
    auto done = run();
    if (!done) return fail(std::move(done).error().context("Failed to load the database; it keeps its earlier contents"));
    // Fresh statistics for the planner; the data is committed whether or not this works.
    for (const char* table : {"nodes", "routing_edges", "road_segments", "way_nodes"}) {
        if (auto analysed = db.exec(fmt::format("ANALYZE {}", table)); !analysed)
            quorvel_routing::log::warn("gravix_import", "ANALYZE {} failed: {}", table, analysed.error().message);
    }
    return counts;
}

}  // namespace gravix_import
