#pragma once
// Walks every accessor of an opened graph the way the route search and the snapping code do,
// following only indices the graph hands out. Used by the fuzz target and by the regression test
// over its saved inputs: on any file it must finish without touching memory it does not own.

#include "quorvel_routing/graph.hpp"

#include <cstdint>

namespace quorvel_routing::testing {

struct WalkStats {
    std::uint64_t edges = 0;
    std::uint64_t incoming = 0;
    std::uint64_t errors = 0;
    std::uint64_t found = 0;
};

inline WalkStats walk_graph(const MappedGraph& g, std::uint32_t node_limit = 4096) {
    WalkStats stats;
    const std::uint32_t n = g.node_count() < node_limit ? g.node_count() : node_limit;
    volatile double sink = 0;
    for (std::uint32_t v = 0; v < n; ++v) {
        const NodeCoord c = g.node_coord(v);
        sink = sink + c.lat + c.lon + double(g.node_osm_id(v));
        sink = sink + (g.in_main_component(v) ? 1 : 0) + (g.is_routable(v) ? 1 : 0);
        if (auto range = g.out_edges(v)) {
            for (std::uint32_t e : *range) {
                if (auto view = g.edge(e)) {
                    ++stats.edges;
                    sink = sink + view->length_m + g.node_coord(view->target).lat;
                    sink = sink + double(g.edge_source(e)) + double(view->ext_bytes_18 & 0xFF);
                    if (view->road_class) sink = sink + double(view->road_class->size());
                    if (view->country) sink = sink + double(view->country->size());
                } else {
                    ++stats.errors;
                }
            }
        } else {
            ++stats.errors;
        }
        if (auto in = g.incoming(v)) {
            for (const IncomingEntry entry : *in) {
                ++stats.incoming;
                sink = sink + g.node_coord(entry.source).lon;
                if (!g.edge(entry.edge)) ++stats.errors;
            }
        } else {
            ++stats.errors;
        }
        if (!g.in_degree(v)) ++stats.errors;
        if (!g.out_degree(v)) ++stats.errors;
        if (!g.incoming_edge_idx_from_source_osm(v, 1)) ++stats.errors;
    }
    for (const RestrictionPair& p : g.restriction_pairs()) sink = sink + (g.has_restriction_pair(p.from_edge, p.to_edge) ? 1 : 0);
    for (const OsmTriple& t : g.osm_triples()) sink = sink + (g.has_osm_triple(t.from, t.via, t.to) ? 1 : 0);

    // Nearest-node searches at a few points inside and around the grid, with a bounded radius.
    const double size = g.cell_size_deg();
    const double lat0 = g.min_lat();
    const double lon0 = g.min_lon();
    const double points[][2] = {{lat0, lon0},
                                {lat0 + size * 0.5, lon0 + size * 0.5},
                                {lat0 + size * double(g.grid_rows()) * 0.5, lon0 + size * double(g.grid_cols()) * 0.5},
                                {lat0 - 1.0, lon0}};
    const auto any = [](std::uint32_t) { return true; };
    const auto routable = [&g](std::uint32_t v) { return g.is_routable(v); };
    for (const auto& p : points) {
        if (auto r = g.find_nearest(p[0], p[1], 5000.0, any)) stats.found += r->has_value();
        else ++stats.errors;
        if (auto r = g.find_nearest(p[0], p[1], 2000.0, routable)) stats.found += r->has_value();
        else ++stats.errors;
        if (auto r = g.find_within(p[0], p[1], 500.0, any)) stats.found += r->size();
        else ++stats.errors;
    }
    for (auto kind : {StringPoolKind::Tref, StringPoolKind::Tnam, StringPoolKind::Tdst, StringPoolKind::Tjxr})
        if (auto pool = g.string_pool(kind)) sink = sink + double(pool->entry_count);
    return stats;
}

}  // namespace quorvel_routing::testing
