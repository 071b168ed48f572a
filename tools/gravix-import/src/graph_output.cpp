#include <fmt/format.h>
#include <unistd.h>

#include <cmath>
#include <system_error>
#include <unordered_map>

#include "outputs.hpp"
#include "quorvel_routing/platform/text.hpp"

namespace gravix_import {

using quorvel_routing::Error;
using quorvel_routing::fail;

namespace {

// Distinct strings in first-use order; 1-based entry numbers, 0 for none.
struct Pool {
    std::vector<std::string> entries;
    std::unordered_map<std::string, std::uint32_t> index;
    std::uint32_t add(const std::optional<std::string>& s) {
        if (!s) return 0;
        auto [it, inserted] = index.emplace(*s, static_cast<std::uint32_t>(entries.size() + 1));
        if (inserted) entries.push_back(*s);
        return it->second;
    }
};

}  // namespace

quorvel_routing::GraphDescription graph_description(const RoadNetwork& net, std::uint32_t version,
                                                    float cell_size_deg) {
    quorvel_routing::GraphDescription g;
    g.version = version;
    g.cell_size_deg = cell_size_deg;
    g.nodes.reserve(net.nodes.size());
    for (const auto& node : net.nodes) {
        quorvel_routing::GraphWriterNode n;
        n.lat = static_cast<float>(node.lat);
        n.lon = static_cast<float>(node.lon);
        n.osm_id = node.osm_id;
        g.nodes.push_back(n);
    }
    Pool refs, names;
    std::vector<std::uint32_t> way_ref(net.ways.size()), way_name(net.ways.size());
    for (std::size_t w = 0; w < net.ways.size(); ++w) {
        way_ref[w] = refs.add(net.ways[w].ref);
        way_name[w] = names.add(net.ways[w].name);
    }
    g.edges.reserve(net.edges.size());
    for (const auto& e : net.edges) {
        const RoadWay& way = net.ways[e.way];
        quorvel_routing::GraphWriterEdge out;
        out.from = e.from;
        out.to = e.to;
        const RoadNode& a = net.nodes[e.from];
        const RoadNode& b = net.nodes[e.to];
        out.has_elevation = a.elevation_m.has_value() && b.elevation_m.has_value();
        // Version 1 readers derive the slope length from a horizontal one.
        out.length_m = static_cast<float>(version == 1 && out.has_elevation ? e.horizontal_m : e.length_m);
        out.road_class = way.road_class;
        out.maxspeed_kmh = static_cast<std::uint8_t>(std::clamp(e.maxspeed_kmh.value_or(0), 0, 255));
        out.country = e.country;
        out.access_class = e.access_class;
        out.toll = way.toll;
        if (out.has_elevation) {
            out.elevation_from_m = static_cast<float>(*a.elevation_m);
            out.elevation_to_m = static_cast<float>(*b.elevation_m);
        }
        if (version >= 6) out.ext_word_14 = way_ref[e.way];
        if (version >= 7) {
            out.ext_bytes_18 = static_cast<std::uint64_t>(way.osm_id);
            out.ext_word_26 = way_name[e.way];
        }
        g.edges.push_back(out);
    }
    g.restriction_pairs = net.restriction_pairs;
    g.osm_triples = net.restriction_triples;
    g.main_component = net.main_component;
    if (version >= 6) g.tref_pool = refs.entries;
    if (version >= 7) {
        g.tnam_pool = names.entries;
        g.tdst_pool = std::vector<std::string>{};
        g.tjxr_pool = std::vector<std::string>{};
    }
    return g;
}

Result<void> check_cell_size(const RoadNetwork& network, double cell_size_deg) {
    if (!(cell_size_deg > 0.0) || !std::isfinite(cell_size_deg))
        return fail("The cell size must be a positive number of degrees");
    if (network.nodes.empty()) return {};
    double min_lat = network.nodes[0].lat, max_lat = min_lat, min_lon = network.nodes[0].lon, max_lon = min_lon;
    for (const auto& n : network.nodes) {
        min_lat = std::min(min_lat, n.lat);
        max_lat = std::max(max_lat, n.lat);
        min_lon = std::min(min_lon, n.lon);
        max_lon = std::max(max_lon, n.lon);
    }
    const double rows = std::floor((max_lat - min_lat) / cell_size_deg) + 1;
    const double cols = std::floor((max_lon - min_lon) / cell_size_deg) + 1;
    if (rows * cols > static_cast<double>(kMaxGridCells))
        return fail(fmt::format("A cell size of {} degrees gives a grid of {} x {} cells over the roads (at most {}); "
                                "choose a larger --cell-size",
                                quorvel_routing::text::f64(cell_size_deg), static_cast<std::uint64_t>(rows),
                                static_cast<std::uint64_t>(cols), kMaxGridCells));
    return {};
}

Result<quorvel_routing::GraphFileLayout> write_graph(const RoadNetwork& network, const GraphFileOptions& options) {
    if (options.version < 1 || options.version > 7)
        return fail(fmt::format("Unsupported graph format version: {} (expected 1\u20137)", options.version));
    QR_TRY(check_cell_size(network, options.cell_size_deg));
    const auto description = graph_description(network, options.version, options.cell_size_deg);
    std::filesystem::path temp = options.path;
    temp += fmt::format(".tmp-{}", ::getpid());
    auto layout = quorvel_routing::write_graph_file(temp, description);
    std::error_code ec;
    if (!layout) {
        std::filesystem::remove(temp, ec);
        return fail(std::move(layout).error().context(fmt::format("Failed to write graph file {}", options.path.string())));
    }
    std::filesystem::rename(temp, options.path, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        return fail(Error(fmt::format("Failed to write graph file {}", options.path.string()), {ec.message()}));
    }
    return layout;
}

}  // namespace gravix_import
