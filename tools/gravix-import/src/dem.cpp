#include "dem.hpp"

#include "quorvel_routing/platform/text.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace gravix_import {

using quorvel_routing::Error;
using quorvel_routing::fail;

std::string hgt_tile_name(int south, int west) {
    return fmt::format("{}{:02}{}{:03}.hgt", south < 0 ? 'S' : 'N', std::abs(south), west < 0 ? 'W' : 'E',
                       std::abs(west));
}

double DemTile::elevation_m(double lat, double lon) const {
    const double span = size - 1;
    double r = (south + 1.0 - lat) * span;
    double c = (lon - west) * span;
    r = std::clamp(r, 0.0, span);
    c = std::clamp(c, 0.0, span);
    int r0 = std::min(static_cast<int>(std::floor(r)), size - 2);
    int c0 = std::min(static_cast<int>(std::floor(c)), size - 2);
    double fr = r - r0;
    double fc = c - c0;
    auto at = [&](int row, int col) { return static_cast<double>(samples[static_cast<std::size_t>(row) * size + col]); };
    double top = at(r0, c0) * (1 - fc) + at(r0, c0 + 1) * fc;
    double bottom = at(r0 + 1, c0) * (1 - fc) + at(r0 + 1, c0 + 1) * fc;
    return top * (1 - fr) + bottom * fr;
}

std::size_t fill_voids(std::vector<std::int16_t>& samples, int size) {
    const std::size_t n = samples.size();
    std::vector<std::size_t> frontier;
    std::vector<char> known(n, 0);
    std::size_t voids = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (samples[i] != kHgtVoid) known[i] = 1;
        else ++voids;
    }
    if (voids == 0 || voids == n) return 0;
    auto for_neighbours = [&](std::size_t i, auto&& fn) {
        int row = static_cast<int>(i / size), col = static_cast<int>(i % size);
        for (int dr = -1; dr <= 1; ++dr)
            for (int dc = -1; dc <= 1; ++dc) {
                if (dr == 0 && dc == 0) continue;
                int rr = row + dr, cc = col + dc;
                if (rr < 0 || cc < 0 || rr >= size || cc >= size) continue;
                fn(static_cast<std::size_t>(rr) * size + cc);
            }
    };
    for (std::size_t i = 0; i < n; ++i) {
        if (known[i]) continue;
        bool next_to_known = false;
        for_neighbours(i, [&](std::size_t j) { next_to_known = next_to_known || known[j]; });
        if (next_to_known) frontier.push_back(i);
    }
    std::size_t filled = 0;
    std::vector<std::int16_t> values;
    std::vector<char> queued(n, 0);
    for (std::size_t i : frontier) queued[i] = 1;
    while (!frontier.empty()) {
        values.assign(frontier.size(), 0);
        for (std::size_t k = 0; k < frontier.size(); ++k) {
            long sum = 0;
            int count = 0;
            for_neighbours(frontier[k], [&](std::size_t j) {
                if (known[j]) {
                    sum += samples[j];
                    ++count;
                }
            });
            values[k] = static_cast<std::int16_t>(std::lround(static_cast<double>(sum) / count));
        }
        for (std::size_t k = 0; k < frontier.size(); ++k) {
            samples[frontier[k]] = values[k];
            known[frontier[k]] = 1;
        }
        filled += frontier.size();
        std::vector<std::size_t> next;
        for (std::size_t i : frontier)
            for_neighbours(i, [&](std::size_t j) {
                if (!known[j] && !queued[j]) {
                    queued[j] = 1;
                    next.push_back(j);
                }
            });
        frontier = std::move(next);
    }
    return filled;
}

Result<DemTile> parse_hgt(const std::string& bytes, int south, int west, const std::string& name) {
    int size = 0;
    if (bytes.size() == 1201u * 1201u * 2u) size = 1201;
    else if (bytes.size() == 3601u * 3601u * 2u) size = 3601;
    else
        return fail(fmt::format("DEM tile {} has {} bytes, expected {} (1201 x 1201) or {} (3601 x 3601 samples)",
                                name, bytes.size(), 1201u * 1201u * 2u, 3601u * 3601u * 2u));
    DemTile tile;
    tile.south = south;
    tile.west = west;
    tile.size = size;
    tile.samples.resize(static_cast<std::size_t>(size) * size);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < tile.samples.size(); ++i)
        tile.samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[2 * i] << 8 | p[2 * i + 1]));
    bool any_valid = false;
    for (auto s : tile.samples) any_valid = any_valid || s != kHgtVoid;
    if (!any_valid) return fail(fmt::format("DEM tile {} holds no valid sample", name));
    tile.voids_filled = fill_voids(tile.samples, size);
    return tile;
}

Result<double> Dem::elevation_m(double lat, double lon) {
    int south = static_cast<int>(std::floor(lat));
    int west = static_cast<int>(std::floor(lon));
    auto key = std::make_pair(south, west);
    auto it = tiles_.find(key);
    if (it == tiles_.end()) {
        std::string name = hgt_tile_name(south, west);
        std::string path = (std::filesystem::path(dir_) / name).string();
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return fail(Error(fmt::format("DEM tile {} not found in {} (needed at {}, {})", name, dir_, quorvel_routing::text::f64(lat),
                                          quorvel_routing::text::f64(lon)),
                              {quorvel_routing::os_error_message(errno)}));
        std::ostringstream buf;
        buf << in.rdbuf();
        auto tile = parse_hgt(buf.str(), south, west, name);
        if (!tile) return fail(std::move(tile).error());
        it = tiles_.emplace(key, std::move(*tile)).first;
    }
    return it->second.elevation_m(lat, lon);
}

std::size_t Dem::voids_filled() const {
    std::size_t n = 0;
    for (const auto& [key, tile] : tiles_) n += tile.voids_filled;
    return n;
}

}  // namespace gravix_import
