#pragma once
// Countries: the graph file's country table and point-in-country tests against the
// admin_level=2 boundaries of the extract.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gravix_import {

// 1-based index in the graph file's country table (AT = 1 ... TR = 46), 0 for codes outside it.
[[nodiscard]] std::uint8_t country_table_index(std::string_view code);

struct LonLat {
    double lon = 0.0;
    double lat = 0.0;
};

// The closed rings of one country; a point is inside when it lies inside an odd number of
// rings, so inner rings (enclaves) cut holes without needing their roles.
class CountryShape {
public:
    CountryShape(std::string code, std::vector<std::vector<LonLat>> rings);

    [[nodiscard]] const std::string& code() const { return code_; }
    [[nodiscard]] bool contains(double lat, double lon) const;
    [[nodiscard]] std::size_t ring_count() const { return ring_count_; }

private:
    struct Segment {
        double lat0, lon0, lat1, lon1;
    };
    std::string code_;
    std::size_t ring_count_ = 0;
    double min_lat_ = 0, max_lat_ = 0, min_lon_ = 0, max_lon_ = 0;
    std::vector<Segment> segments_;
    // Latitude bands over the bounding box; each lists the segments that reach into it.
    std::vector<std::vector<std::uint32_t>> bands_;
};

// Joins way pieces (node id sequences with coordinates) into closed rings; pieces that do not
// close are dropped. Returns the rings.
struct RingPiece {
    std::vector<std::int64_t> node_ids;
    std::vector<LonLat> coords;
};
[[nodiscard]] std::vector<std::vector<LonLat>> assemble_rings(std::vector<RingPiece> pieces,
                                                              std::size_t* dropped_pieces = nullptr);

}  // namespace gravix_import
