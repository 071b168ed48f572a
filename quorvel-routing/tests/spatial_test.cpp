#include "quorvel_routing/spatial.hpp"

#include <absl/container/flat_hash_set.h>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace qr = quorvel_routing;

namespace {
absl::flat_hash_set<std::uint64_t> all_of(std::size_t n) {
    absl::flat_hash_set<std::uint64_t> s;
    for (std::uint64_t i = 0; i < n; ++i) s.insert(i);
    return s;
}
}  // namespace

TEST(Haversine, KnownDistances) {
    EXPECT_NEAR(qr::haversine_m(0, 0, 0, 1), 111194.93, 0.01);
    EXPECT_EQ(qr::haversine_m(52.5, 13.4, 52.5, 13.4), 0.0);
    EXPECT_NEAR(qr::haversine_m(0, 0, 1, 0), 111194.93, 0.01);
    // Symmetric, and half the circumference between antipodes (no NaN from rounding).
    EXPECT_DOUBLE_EQ(qr::haversine_m(48.1, 11.5, 52.5, 13.4), qr::haversine_m(52.5, 13.4, 48.1, 11.5));
    EXPECT_NEAR(qr::haversine_m(0, 0, 0, 180), std::numbers::pi * 6371000.0, 1e-6);
    EXPECT_NEAR(qr::haversine_m(30, 20, -30, -160), std::numbers::pi * 6371000.0, 1e-3);
    // Berlin - Munich, about 504 km.
    EXPECT_NEAR(qr::haversine_m(52.52, 13.405, 48.137, 11.575) / 1000.0, 504.2, 0.5);
}

TEST(SpatialGridBuild, CellKeys) {
    std::vector<qr::LatLon> pts = {{0.002, 0.003}, {-0.0005, 0.0005}, {0.0025, 0.0031}, {-0.0015, -0.0001}};
    auto grid = qr::SpatialGrid::build(pts, 0.001);
    EXPECT_EQ(grid.cells.size(), 3u);
    // 0.002 / 0.001 and 0.003 / 0.001 are 2 and 3 in binary floating point as well.
    EXPECT_EQ(grid.key_of(0.002, 0.003), (qr::GridKey{2, 3}));
    EXPECT_EQ(grid.cells.at(qr::GridKey{2, 3}), (std::vector<std::uint64_t>{0, 2}));
    // Negative coordinates are floored, not truncated.
    EXPECT_EQ(grid.cells.at(qr::GridKey{-1, 0}), (std::vector<std::uint64_t>{1}));
    EXPECT_EQ(grid.cells.at(qr::GridKey{-2, -1}), (std::vector<std::uint64_t>{3}));
    // Degenerate inputs saturate instead of overflowing.
    EXPECT_EQ(grid.key_of(std::nan(""), 1e300), (qr::GridKey{0, INT32_MAX}));
}

TEST(SpatialGridFindWithin, RadiusOrderAndAllowedSet) {
    // Points north of the query, 10, 50, 30 and 600 m away, plus a second one at 30 m in another cell.
    const double m = 1.0 / 111194.93;  // degrees of latitude per metre on this sphere
    std::vector<qr::LatLon> pts = {
        {50.0 + 10 * m, 8.0}, {50.0 + 50 * m, 8.0}, {50.0 + 30 * m, 8.0}, {50.0 + 600 * m, 8.0}, {50.0 - 30 * m, 8.0},
    };
    auto grid = qr::SpatialGrid::build(pts, 0.001);
    auto found = grid.find_within(pts, all_of(pts.size()), 50.0, 8.0, 500.0);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[0].index, 0u);
    EXPECT_NEAR(found[0].distance_m, 10.0, 1e-3);
    // Equal distances (30 m south and north): the southern cell is visited first.
    EXPECT_EQ(found[1].index, 4u);
    EXPECT_EQ(found[2].index, 2u);
    EXPECT_EQ(found[1].distance_m, found[2].distance_m);
    EXPECT_EQ(found[3].index, 1u);

    absl::flat_hash_set<std::uint64_t> only_two = {1, 3};
    found = grid.find_within(pts, only_two, 50.0, 8.0, 500.0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].index, 1u);

    // An empty allowed set lets nothing through, even at distance 0.
    EXPECT_TRUE(grid.find_within(pts, absl::flat_hash_set<std::uint64_t>{}, pts[0].lat, pts[0].lon, 500.0).empty());
    // An empty grid finds nothing.
    std::vector<qr::LatLon> none;
    EXPECT_TRUE(qr::SpatialGrid::build(none, 0.001).find_within(none, all_of(3), 50.0, 8.0, 500.0).empty());
}

TEST(SpatialGridFindWithin, SameDistanceKeepsInsertionOrderWithinACell) {
    std::vector<qr::LatLon> pts = {{10.0004, 20.0004}, {10.0004, 20.0004}, {10.0004, 20.0004}};
    auto grid = qr::SpatialGrid::build(pts, 0.001);
    auto found = grid.find_within(pts, all_of(3), 10.0, 20.0, 100.0);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].index, 0u);
    EXPECT_EQ(found[1].index, 1u);
    EXPECT_EQ(found[2].index, 2u);
}

TEST(SpatialGridFindWithin, WindowIsNarrowerEastWestAwayFromTheEquator) {
    // At 60 degrees a 0.001 degree cell is about 55.7 m wide: with r = 5 the window reaches
    // about 334 m east, so a point 400 m due east is not found although it is within 500 m,
    // while the same distance due north is.
    const double lat = 60.00005, lon = 10.00005;
    const double east_deg = 400.0 / (111194.93 * std::cos(lat * qr::kDegToRad));
    std::vector<qr::LatLon> pts = {{lat, lon + east_deg}, {lat + 400.0 / 111194.93, lon}};
    auto grid = qr::SpatialGrid::build(pts, 0.001);
    auto found = grid.find_within(pts, all_of(2), lat, lon, 500.0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].index, 1u);
    EXPECT_NEAR(qr::haversine_m(lat, lon, pts[0].lat, pts[0].lon), 400.0, 0.5);
}

TEST(SpatialGridBuild, ProjectionOverCallerRecords) {
    struct DbNode {
        std::int64_t id;
        double lat;
        double lon;
    };
    std::vector<DbNode> nodes = {{7, 1.0, 1.0}, {8, 1.00001, 1.0}};
    auto coord = [](const DbNode& n) { return qr::LatLon{n.lat, n.lon}; };
    auto grid = qr::SpatialGrid::build(nodes, 0.001, coord);
    auto found = grid.find_within(nodes, coord, all_of(2), 1.0, 1.0, 5.0);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], (qr::PointDistance{0, 0.0}));
    EXPECT_EQ(found[1].index, 1u);
}
