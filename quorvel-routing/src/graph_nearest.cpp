// Nearest-node and radius search over the file's cell grid, best-first by a lower bound on the
// distance from the query point to each cell.

#include "graph_internal.hpp"
#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/spatial.hpp"

#include <absl/container/flat_hash_set.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>

namespace quorvel_routing {

using graph_detail::read_f32;
using graph_detail::read_u32;

namespace {
// Rounds toward minus infinity and saturates into i32; NaN becomes 0.
std::int32_t floor_to_i32(float x) {
    if (std::isnan(x)) return 0;
    const float f = std::floor(x);
    if (f <= -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    if (f >= 2147483648.0f) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(f);
}

double clamp_to(double x, double lo, double hi) { return std::max(lo, std::min(x, hi)); }

std::uint64_t cell_key(std::int32_t row, std::int32_t col) {
    return std::uint64_t(std::uint32_t(row)) << 32 | std::uint32_t(col);
}
}  // namespace

// Query point with the cosine of its latitude computed once.
struct MappedGraph::Query {
    double lat;
    double lon;
    double cos_lat;
    double limit_m;
    NodeTest test;

    Query(double lat_deg, double lon_deg, double limit, NodeTest node_test)
        : lat(lat_deg), lon(lon_deg), cos_lat(std::cos(lat_deg * kDegToRad)),
          limit_m(limit), test(node_test) {}

    double lower_bound_m(const CellBounds& cell) const {
        return distance_m(clamp_to(lat, cell.south, cell.north), clamp_to(lon, cell.west, cell.east));
    }

    // haversine_m with the cosine of the query latitude taken once; same arithmetic, same value.
    double distance_m(double lat2_deg, double lon2_deg) const {
        const double s_lat = std::sin((lat2_deg - lat) * kDegToRad * 0.5);
        const double s_lon = std::sin((lon2_deg - lon) * kDegToRad * 0.5);
        double a = s_lat * s_lat + cos_lat * std::cos(lat2_deg * kDegToRad) * s_lon * s_lon;
        a = std::min(a, 1.0);
        return 2.0 * std::asin(std::sqrt(a)) * kEarthRadiusM;
    }
};

double dist_query_inside_cell_to_boundary_m(double lat, double lon, const CellBounds& cell) {
    const auto distance = [&](double lat2, double lon2) { return haversine_m(lat, lon, lat2, lon2); };
    const double clat = clamp_to(lat, cell.south, cell.north);
    const double clon = clamp_to(lon, cell.west, cell.east);
    return std::min(std::min(distance(cell.south, clon), distance(cell.north, clon)),
                    std::min(distance(clat, cell.west), distance(clat, cell.east)));
}

std::optional<GridCell> MappedGraph::query_cell(double lat, double lon) const {
    const std::int32_t row = floor_to_i32((static_cast<float>(lat) - min_lat_) / cell_size_deg_);
    const std::int32_t col = floor_to_i32((static_cast<float>(lon) - min_lon_) / cell_size_deg_);
    if (row < 0 || col < 0 || std::uint32_t(row) >= grid_rows_ || std::uint32_t(col) >= grid_cols_)
        return std::nullopt;
    return GridCell{row, col};
}

CellBounds MappedGraph::cell_bounds(std::int32_t row, std::int32_t col) const {
    const double size = cell_size_deg_;
    const double south = double(min_lat_) + double(row) * size;
    const double west = double(min_lon_) + double(col) * size;
    return CellBounds{south, south + size, west, west + size};
}

namespace {
// The node list of one cell, checked against the file's counts.
struct CellSlice {
    const std::uint8_t* first;
    std::uint32_t count;
};

Result<CellSlice> cell_slice(const std::uint8_t* data, const GraphSections& s, std::uint32_t grid_cols,
                             std::uint32_t node_count, std::int32_t row, std::int32_t col) {
    const std::uint64_t k = std::uint64_t(row) * grid_cols + std::uint64_t(col);
    const std::uint32_t a = read_u32(data + s.cell_offsets + 4 * k);
    const std::uint32_t b = read_u32(data + s.cell_offsets + 4 * (k + 1));
    if (a > b || b > node_count)
        return fail(fmt::format(
            "Corrupt graph file: cell {} (row {}, column {}) has node list range {}..{} (the file has {} nodes)", k,
            row, col, a, b, node_count));
    return CellSlice{data + s.cell_nodes + 4 * std::uint64_t(a), b - a};
}

Error corrupt_cell_entry(std::int32_t row, std::int32_t col, std::uint32_t grid_cols, std::uint32_t node,
                         std::uint32_t node_count) {
    return Error(fmt::format("Corrupt graph file: cell {} (row {}, column {}) lists node {} (the file has {} nodes)",
                             std::uint64_t(row) * grid_cols + std::uint64_t(col), row, col, node, node_count));
}

using CellQueue = std::priority_queue<CellLb, std::vector<CellLb>, std::greater<>>;
}  // namespace

Result<void> MappedGraph::scan_cell_nearest(std::int32_t row, std::int32_t col, const Query& query,
                                            std::optional<NearestNode>& best) const {
    const CellSlice slice = QR_TRY(cell_slice(file_.data(), sections_, grid_cols_, node_count_, row, col));
    for (std::uint32_t j = 0; j < slice.count; ++j) {
        const std::uint32_t node = read_u32(slice.first + 4 * std::uint64_t(j));
        if (node >= node_count_) return fail(corrupt_cell_entry(row, col, grid_cols_, node, node_count_));
        if (!query.test(node)) continue;
        const NodeCoord c = node_coord(node);
        const double d = query.distance_m(c.lat, c.lon);
        if (d <= query.limit_m && (!best || d < best->distance_m)) best = NearestNode{node, d};
    }
    return {};
}

Result<void> MappedGraph::collect_cell_within(std::int32_t row, std::int32_t col, const Query& query,
                                              std::vector<NearestNode>& result) const {
    const CellSlice slice = QR_TRY(cell_slice(file_.data(), sections_, grid_cols_, node_count_, row, col));
    for (std::uint32_t j = 0; j < slice.count; ++j) {
        const std::uint32_t node = read_u32(slice.first + 4 * std::uint64_t(j));
        if (node >= node_count_) return fail(corrupt_cell_entry(row, col, grid_cols_, node, node_count_));
        if (!query.test(node)) continue;
        const NodeCoord c = node_coord(node);
        const double d = query.distance_m(c.lat, c.lon);
        if (d <= query.limit_m) result.push_back(NearestNode{node, d});
    }
    return {};
}

namespace {
// Pushes the four neighbours of (row, col) that lie inside the grid and within the limit.
template <class BoundsFn, class LowerBoundFn>
void push_neighbours(CellQueue& queue, std::int32_t row, std::int32_t col, std::uint32_t rows, std::uint32_t cols,
                     double limit_m, BoundsFn&& bounds, LowerBoundFn&& lower_bound) {
    const std::int64_t around[4][2] = {{row - std::int64_t(1), col}, {row + std::int64_t(1), col},
                                       {row, col - std::int64_t(1)}, {row, col + std::int64_t(1)}};
    for (const auto& rc : around) {
        if (rc[0] < 0 || rc[1] < 0 || rc[0] >= std::int64_t(rows) || rc[1] >= std::int64_t(cols)) continue;
        const auto r = static_cast<std::int32_t>(rc[0]);
        const auto c = static_cast<std::int32_t>(rc[1]);
        const double lb = lower_bound(bounds(r, c));
        if (lb <= limit_m) queue.push(CellLb{lb, r, c});
    }
}
}  // namespace

Result<std::optional<NearestNode>> MappedGraph::find_nearest(double lat, double lon, double max_dist_m,
                                                             NodeTest test) const {
    const auto start = query_cell(lat, lon);
    if (!start) return std::optional<NearestNode>();
    const Query query(lat, lon, max_dist_m, test);
    const auto bounds = [this](std::int32_t r, std::int32_t c) { return cell_bounds(r, c); };
    const auto lower_bound = [&query](const CellBounds& b) { return query.lower_bound_m(b); };

    const double d_inside = dist_query_inside_cell_to_boundary_m(lat, lon, cell_bounds(start->row, start->col));
    std::optional<NearestNode> best;
    QR_TRY(scan_cell_nearest(start->row, start->col, query, best));
    if (best && best->distance_m < d_inside) return best;

    absl::flat_hash_set<std::uint64_t> visited;
    visited.insert(cell_key(start->row, start->col));
    CellQueue queue;
    push_neighbours(queue, start->row, start->col, grid_rows_, grid_cols_, max_dist_m, bounds, lower_bound);
    while (!queue.empty()) {
        const CellLb entry = queue.top();
        queue.pop();
        if (entry.lower_bound_m > max_dist_m || (best && best->distance_m <= entry.lower_bound_m)) continue;
        if (!visited.insert(cell_key(entry.row, entry.col)).second) continue;
        QR_TRY(scan_cell_nearest(entry.row, entry.col, query, best));
        if (best && best->distance_m < d_inside) break;
        push_neighbours(queue, entry.row, entry.col, grid_rows_, grid_cols_, max_dist_m, bounds, lower_bound);
    }
    return best;
}

Result<std::vector<NearestNode>> MappedGraph::find_within(double lat, double lon, double radius_m,
                                                          NodeTest test) const {
    std::vector<NearestNode> result;
    const auto start = query_cell(lat, lon);
    if (!start) return result;
    const Query query(lat, lon, radius_m, test);
    const auto bounds = [this](std::int32_t r, std::int32_t c) { return cell_bounds(r, c); };
    const auto lower_bound = [&query](const CellBounds& b) { return query.lower_bound_m(b); };

    QR_TRY(collect_cell_within(start->row, start->col, query, result));
    absl::flat_hash_set<std::uint64_t> visited;
    visited.insert(cell_key(start->row, start->col));
    CellQueue queue;
    push_neighbours(queue, start->row, start->col, grid_rows_, grid_cols_, radius_m, bounds, lower_bound);
    while (!queue.empty()) {
        const CellLb entry = queue.top();
        queue.pop();
        if (entry.lower_bound_m > radius_m) continue;
        if (!visited.insert(cell_key(entry.row, entry.col)).second) continue;
        QR_TRY(collect_cell_within(entry.row, entry.col, query, result));
        push_neighbours(queue, entry.row, entry.col, grid_rows_, grid_cols_, radius_m, bounds, lower_bound);
    }
    std::stable_sort(result.begin(), result.end(),
                     [](const NearestNode& a, const NearestNode& b) { return a.distance_m < b.distance_m; });
    return result;
}

}  // namespace quorvel_routing
