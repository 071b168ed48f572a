#pragma once
// Great-circle distance and a small in-memory hash grid over a list of points.

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace quorvel_routing {

inline constexpr double kEarthRadiusM = 6371000.0;
inline constexpr double kDegToRad = 0.017453292519943295;
// Metres per degree that the grid window uses on both axes.
inline constexpr double kGridMetresPerDegree = 111320.0;

// Great-circle distance in metres between two points given in degrees.
[[nodiscard]] double haversine_m(double lat1, double lon1, double lat2, double lon2);

struct LatLon {
    double lat = 0.0;
    double lon = 0.0;
};

struct PointDistance {
    std::uint64_t index = 0;
    double distance_m = 0.0;
    bool operator==(const PointDistance&) const = default;
};

struct GridKey {
    std::int32_t row = 0;
    std::int32_t col = 0;
    bool operator==(const GridKey&) const = default;
    template <class H>
    friend H AbslHashValue(H h, const GridKey& k) {
        return H::combine(std::move(h), k.row, k.col);
    }
};

// floor(value), converted to i32 with saturation (NaN gives 0), so that no coordinate or cell
// size can make the conversion undefined.
[[nodiscard]] std::int32_t saturating_floor_i32(double value);

struct SpatialGrid {
    absl::flat_hash_map<GridKey, std::vector<std::uint64_t>> cells;
    double cell_size_deg = 0.001;

    [[nodiscard]] GridKey key_of(double lat, double lon) const {
        return {saturating_floor_i32(lat / cell_size_deg), saturating_floor_i32(lon / cell_size_deg)};
    }

    // Point i goes into the cell of (floor(lat / cell), floor(lon / cell)), in input order.
    // `coord(entry)` gives the LatLon of one entry of `points`.
    template <class Points, class Coord>
    [[nodiscard]] static SpatialGrid build(const Points& points, double cell_size_deg, Coord coord) {
        SpatialGrid grid;
        grid.cell_size_deg = cell_size_deg;
        std::uint64_t i = 0;
        for (const auto& p : points) {
            LatLon c = coord(p);
            grid.cells[grid.key_of(c.lat, c.lon)].push_back(i);
            ++i;
        }
        return grid;
    }
    [[nodiscard]] static SpatialGrid build(std::span<const LatLon> points, double cell_size_deg) {
        return build(points, cell_size_deg, [](const LatLon& p) { return p; });
    }

    // Every allowed point within radius_m of (lat, lon), ascending by distance; equal distances
    // keep the visiting order (rows ascending, then columns, then insertion order). The window
    // is r + 1 cells on each side, r = ceil(radius / (cell x 111 320 m)), on both axes. An empty
    // allowed set lets nothing through. `allowed` needs contains(u64) and empty().
    template <class Points, class Coord, class IndexSet>
    [[nodiscard]] std::vector<PointDistance> find_within(const Points& points, Coord coord,
                                                         const IndexSet& allowed, double lat, double lon,
                                                         double radius_m) const {
        std::vector<PointDistance> found;
        if (cells.empty() || allowed.empty()) return found;
        const std::int64_t r = saturating_floor_i32(std::ceil(radius_m / (cell_size_deg * kGridMetresPerDegree)));
        const GridKey centre = key_of(lat, lon);
        for (std::int64_t dr = -(r + 1); dr <= r + 1; ++dr) {
            for (std::int64_t dc = -(r + 1); dc <= r + 1; ++dc) {
                std::int64_t row = centre.row + dr;
                std::int64_t col = centre.col + dc;
                if (row < INT32_MIN || row > INT32_MAX || col < INT32_MIN || col > INT32_MAX) continue;
                auto it = cells.find(GridKey{static_cast<std::int32_t>(row), static_cast<std::int32_t>(col)});
                if (it == cells.end()) continue;
                for (std::uint64_t index : it->second) {
                    if (!allowed.contains(index)) continue;
                    LatLon c = coord(points[static_cast<std::size_t>(index)]);
                    double d = haversine_m(lat, lon, c.lat, c.lon);
                    if (d <= radius_m) found.push_back({index, d});
                }
            }
        }
        std::stable_sort(found.begin(), found.end(),
                         [](const PointDistance& a, const PointDistance& b) { return a.distance_m < b.distance_m; });
        return found;
    }
    template <class IndexSet>
    [[nodiscard]] std::vector<PointDistance> find_within(std::span<const LatLon> points, const IndexSet& allowed,
                                                         double lat, double lon, double radius_m) const {
        return find_within(points, [](const LatLon& p) { return p; }, allowed, lat, lon, radius_m);
    }
};

}  // namespace quorvel_routing
