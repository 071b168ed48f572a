#pragma once
// Elevation from SRTM .hgt tiles: 1201 or 3601 big-endian int16 samples a side, rows from
// north to south, -32768 marking a void. Tiles are read when first needed; voids are filled
// from the nearest valid samples when a tile is read; heights are interpolated bilinearly.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "quorvel_routing/platform/error.hpp"

namespace gravix_import {

using quorvel_routing::Result;

struct DemTile {
    int south = 0;  // latitude of the southern edge, degrees
    int west = 0;   // longitude of the western edge, degrees
    int size = 0;   // samples a side (1201 or 3601)
    std::vector<std::int16_t> samples;  // row-major, row 0 at the northern edge
    std::size_t voids_filled = 0;

    [[nodiscard]] double elevation_m(double lat, double lon) const;
};

inline constexpr std::int16_t kHgtVoid = -32768;

// File name of the tile that holds a point: "N42E001.hgt", "S01W072.hgt".
[[nodiscard]] std::string hgt_tile_name(int south, int west);

// Reads one tile from its bytes (file size decides between 1201 and 3601 samples a side)
// and fills its voids. `name` is used in error texts.
[[nodiscard]] Result<DemTile> parse_hgt(const std::string& bytes, int south, int west, const std::string& name);

// Fills void samples in place from the nearest valid ones: layer by layer outwards from the
// valid samples, each void takes the mean of its already known 8 neighbours. Returns the
// number of filled samples. A tile with no valid sample stays as it is (all voids).
std::size_t fill_voids(std::vector<std::int16_t>& samples, int size);

class Dem {
public:
    explicit Dem(std::string dir) : dir_(std::move(dir)) {}

    // Elevation in metres at a point; fails when the tile for the point is missing or
    // unreadable, or holds no valid sample at all.
    Result<double> elevation_m(double lat, double lon);

    [[nodiscard]] std::size_t tiles_loaded() const { return tiles_.size(); }
    [[nodiscard]] std::size_t voids_filled() const;
    [[nodiscard]] const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    std::map<std::pair<int, int>, DemTile> tiles_;
};

}  // namespace gravix_import
