#include "country.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>

#include "quorvel_routing/graph_writer.hpp"

namespace gravix_import {

namespace {
constexpr std::size_t kBands = 512;
}  // namespace

std::uint8_t country_table_index(std::string_view code) {
    return quorvel_routing::country_value(code).value_or(quorvel_routing::kNoCountry);
}

CountryShape::CountryShape(std::string code, std::vector<std::vector<LonLat>> rings)
    : code_(std::move(code)), ring_count_(rings.size()) {
    bool first = true;
    for (const auto& ring : rings) {
        for (std::size_t i = 0; i + 1 < ring.size(); ++i) {
            const LonLat& a = ring[i];
            const LonLat& b = ring[i + 1];
            segments_.push_back({a.lat, a.lon, b.lat, b.lon});
            for (const LonLat& p : {a, b}) {
                if (first) {
                    min_lat_ = max_lat_ = p.lat;
                    min_lon_ = max_lon_ = p.lon;
                    first = false;
                }
                min_lat_ = std::min(min_lat_, p.lat);
                max_lat_ = std::max(max_lat_, p.lat);
                min_lon_ = std::min(min_lon_, p.lon);
                max_lon_ = std::max(max_lon_, p.lon);
            }
        }
    }
    if (segments_.empty()) return;
    bands_.resize(kBands);
    const double height = std::max(max_lat_ - min_lat_, 1e-12);
    auto band_of = [&](double lat) {
        auto b = static_cast<long>((lat - min_lat_) / height * kBands);
        return static_cast<std::size_t>(std::clamp<long>(b, 0, kBands - 1));
    };
    for (std::uint32_t i = 0; i < segments_.size(); ++i) {
        const Segment& s = segments_[i];
        std::size_t lo = band_of(std::min(s.lat0, s.lat1));
        std::size_t hi = band_of(std::max(s.lat0, s.lat1));
        for (std::size_t b = lo; b <= hi; ++b) bands_[b].push_back(i);
    }
}

bool CountryShape::contains(double lat, double lon) const {
    if (segments_.empty() || lat < min_lat_ || lat > max_lat_ || lon < min_lon_ || lon > max_lon_) return false;
    const double height = std::max(max_lat_ - min_lat_, 1e-12);
    auto b = static_cast<long>((lat - min_lat_) / height * kBands);
    const auto& band = bands_[static_cast<std::size_t>(std::clamp<long>(b, 0, kBands - 1))];
    // Even-odd rule with a ray towards increasing longitude; half-open in latitude so that a
    // vertex on the ray's line is counted once.
    bool inside = false;
    for (std::uint32_t i : band) {
        const Segment& s = segments_[i];
        if ((s.lat0 > lat) == (s.lat1 > lat)) continue;
        double cross_lon = s.lon0 + (lat - s.lat0) * (s.lon1 - s.lon0) / (s.lat1 - s.lat0);
        if (cross_lon > lon) inside = !inside;
    }
    return inside;
}

std::vector<std::vector<LonLat>> assemble_rings(std::vector<RingPiece> pieces, std::size_t* dropped_pieces) {
    std::vector<std::vector<LonLat>> rings;
    std::size_t dropped = 0;
    std::unordered_multimap<std::int64_t, std::size_t> by_end;
    std::vector<bool> used(pieces.size(), false);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].node_ids.size() < 2) {
            used[i] = true;
            ++dropped;
            continue;
        }
        by_end.emplace(pieces[i].node_ids.front(), i);
        by_end.emplace(pieces[i].node_ids.back(), i);
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (used[i]) continue;
        used[i] = true;
        std::vector<std::int64_t> ids = pieces[i].node_ids;
        std::vector<LonLat> coords = pieces[i].coords;
        std::size_t joined = 1;
        while (ids.front() != ids.back()) {
            auto [lo, hi] = by_end.equal_range(ids.back());
            std::size_t next = pieces.size();
            for (auto it = lo; it != hi; ++it)
                if (!used[it->second]) {
                    next = it->second;
                    break;
                }
            if (next == pieces.size()) break;
            used[next] = true;
            ++joined;
            const RingPiece& p = pieces[next];
            if (p.node_ids.front() == ids.back()) {
                ids.insert(ids.end(), p.node_ids.begin() + 1, p.node_ids.end());
                coords.insert(coords.end(), p.coords.begin() + 1, p.coords.end());
            } else {
                ids.insert(ids.end(), p.node_ids.rbegin() + 1, p.node_ids.rend());
                coords.insert(coords.end(), p.coords.rbegin() + 1, p.coords.rend());
            }
        }
        if (ids.front() == ids.back() && ids.size() >= 4) {
            rings.push_back(std::move(coords));
        } else {
            dropped += joined;
        }
    }
    if (dropped_pieces) *dropped_pieces = dropped;
    return rings;
}

}  // namespace gravix_import
