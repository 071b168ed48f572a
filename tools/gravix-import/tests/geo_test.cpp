// SRTM tiles (interpolation, void filling, bad tiles) and country rings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "country.hpp"
#include "dem.hpp"
#include "graph_fixtures.hpp"

namespace qr = quorvel_routing;
using namespace gravix_import;

namespace {

std::string tile_bytes(int size, const std::vector<std::int16_t>& samples) {
    std::string bytes(static_cast<std::size_t>(size) * size * 2, '\0');
    for (std::size_t i = 0; i < samples.size(); ++i) {
        auto v = static_cast<std::uint16_t>(samples[i]);
        bytes[2 * i] = static_cast<char>(v >> 8);
        bytes[2 * i + 1] = static_cast<char>(v & 0xFF);
    }
    return bytes;
}

TEST(Hgt, TileNames) {
    EXPECT_EQ(hgt_tile_name(42, 1), "N42E001.hgt");
    EXPECT_EQ(hgt_tile_name(-1, -72), "S01W072.hgt");
    EXPECT_EQ(hgt_tile_name(0, 0), "N00E000.hgt");
}

TEST(Hgt, BigEndianSamplesAndBilinearInterpolation) {
    std::vector<std::int16_t> samples(1201 * 1201, 100);
    // Row 0 is the northern edge: the corner cell at the north-west corner holds 1000, 2000
    // (top) and 3000, 4000 (the row below).
    samples[0] = 1000;
    samples[1] = 2000;
    samples[1201] = 3000;
    samples[1202] = 4000;
    auto tile = parse_hgt(tile_bytes(1201, samples), 42, 1, "N42E001.hgt");
    ASSERT_TRUE(tile.has_value()) << tile.error().message;
    EXPECT_EQ(tile->size, 1201);
    EXPECT_EQ(tile->voids_filled, 0u);
    const double step = 1.0 / 1200.0;
    EXPECT_DOUBLE_EQ(tile->elevation_m(43.0, 1.0), 1000.0);
    EXPECT_NEAR(tile->elevation_m(43.0, 1.0 + step), 2000.0, 1e-6);
    EXPECT_NEAR(tile->elevation_m(43.0 - step / 2, 1.0 + step / 2), 2500.0, 1e-6);
    EXPECT_NEAR(tile->elevation_m(43.0 - step / 4, 1.0), 1500.0, 1e-6);
    EXPECT_DOUBLE_EQ(tile->elevation_m(42.0, 2.0), 100.0);  // south-east corner
    EXPECT_DOUBLE_EQ(tile->elevation_m(42.5, 1.5), 100.0);
}

TEST(Hgt, VoidsTakeTheirNearestValidSamples) {
    // A 5 x 5 grid: a void block in the middle is filled from its ring, outward in layers; a
    // corner void next to a single valid sample takes that sample's value.
    const std::int16_t V = kHgtVoid;
    std::vector<std::int16_t> grid = {
        10, 10, 10, 10, 10,  //
        10, V,  V,  V,  10,  //
        10, V,  V,  V,  10,  //
        10, V,  V,  V,  20,  //
        10, 10, 10, 20, 20,
    };
    EXPECT_EQ(fill_voids(grid, 5), 9u);
    for (auto v : grid) EXPECT_NE(v, V);
    EXPECT_EQ(grid[6], 10);   // all known neighbours are 10
    EXPECT_EQ(grid[18], 16);  // known neighbours 10, 20, 10, 20, 20: mean 16
    EXPECT_GE(grid[12], 10);
    EXPECT_LE(grid[12], 20);

    std::vector<std::int16_t> all_void(9, V);
    EXPECT_EQ(fill_voids(all_void, 3), 0u);
}

TEST(Hgt, BadTiles) {
    auto short_tile = parse_hgt(std::string(1000, '\0'), 42, 1, "N42E001.hgt");
    ASSERT_FALSE(short_tile.has_value());
    EXPECT_EQ(short_tile.error().message,
              "DEM tile N42E001.hgt has 1000 bytes, expected 2884802 (1201 x 1201) or 25934402 (3601 x 3601 samples)");
    auto void_tile = parse_hgt(tile_bytes(1201, std::vector<std::int16_t>(1201 * 1201, kHgtVoid)), 42, 1, "N42E001.hgt");
    ASSERT_FALSE(void_tile.has_value());
    EXPECT_EQ(void_tile.error().message, "DEM tile N42E001.hgt holds no valid sample");
}

TEST(Hgt, DemLoadsTilesByPosition) {
    qr::testing::TempDir dir;
    std::vector<std::int16_t> samples(1201 * 1201, 1234);
    std::ofstream(dir.file("N42E001.hgt"), std::ios::binary) << tile_bytes(1201, samples);
    Dem dem(dir.path().string());
    auto h = dem.elevation_m(42.5, 1.5);
    ASSERT_TRUE(h.has_value());
    EXPECT_DOUBLE_EQ(*h, 1234.0);
    EXPECT_EQ(dem.tiles_loaded(), 1u);
    auto missing = dem.elevation_m(42.5, 2.5);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message,
              "DEM tile N42E002.hgt not found in " + dir.path().string() + " (needed at 42.5, 2.5)");
}

TEST(Country, RingsJoinedFromReversedPiecesWithHoles) {
    // An outer square made of two pieces, the second one running the other way, and an inner
    // square (an enclave) as one closed piece; a piece that does not close is dropped.
    std::vector<RingPiece> pieces = {
        {{1, 2, 3}, {{0, 0}, {10, 0}, {10, 10}}},
        {{1, 4, 3}, {{0, 0}, {0, 10}, {10, 10}}},
        {{5, 6, 7, 8, 5}, {{4, 4}, {6, 4}, {6, 6}, {4, 6}, {4, 4}}},
        {{9, 10}, {{20, 20}, {21, 21}}},
    };
    std::size_t dropped = 0;
    auto rings = assemble_rings(pieces, &dropped);
    ASSERT_EQ(rings.size(), 2u);
    EXPECT_EQ(dropped, 1u);
    EXPECT_EQ(rings[0].size(), 5u);
    CountryShape shape("AD", std::move(rings));
    EXPECT_TRUE(shape.contains(1, 1));
    EXPECT_TRUE(shape.contains(9, 2));
    EXPECT_FALSE(shape.contains(5, 5));  // in the enclave
    EXPECT_FALSE(shape.contains(11, 5));
    EXPECT_FALSE(shape.contains(5, -1));
    EXPECT_EQ(country_table_index("AD"), 38);
    EXPECT_EQ(country_table_index("US"), 0);
}

}  // namespace
