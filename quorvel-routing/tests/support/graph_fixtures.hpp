#pragma once
// Small graph files for tests, written by our graph writer into a temporary directory.
//
//   auto file = quorvel_routing::testing::write_temp_graph(R"(
//       version 7
//       cell 0.01
//       node 47.000 8.000            # node 0, OSM id 1 unless osm= is given
//       node 47.001 8.000 osm=42
//       edge 0 1 120                 # from, to, length in metres
//       edge 1 0 120 class=residential speed=50 toll country=CH access=2 elev=400,410
//       both 1 2 80                  # an edge each way
//       pair 0 1                     # restriction pair (input edge indices)
//       triple 1 42 3                # OSM triple
//   )");
//   auto graph = quorvel_routing::MappedGraph::open(file.path());
//
// Other directives: "grid MIN_LAT MIN_LON ROWS COLS", "no-rcsr", "no-mccm", "no-payload",
// "pool TREF a b c" (also TNAM, TDST, TJXR; "pool TNAM" alone gives an empty pool).
// Edge options: class=NAME|INDEX, speed=KMH, country=CODE|VALUE, access=0..7, toll, bit1, bit2,
// elev=FROM,TO (metres, sets has_elevation), ext14=, ext18=, ext26=, ext30= (integers).
// A malformed line fails the current test with the line in the message.

#include "quorvel_routing/graph_writer.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel_routing::testing {

// A directory under the system temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    TempDir(TempDir&& other) noexcept;
    TempDir& operator=(TempDir&&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::filesystem::path file(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// A graph file in its own temporary directory, with the layout the writer reported.
class TempGraphFile {
public:
    TempGraphFile(TempDir dir, std::filesystem::path path, GraphFileLayout layout)
        : dir_(std::move(dir)), path_(std::move(path)), layout_(std::move(layout)) {}

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] const GraphFileLayout& layout() const { return layout_; }

    // Overwrites bytes in place (little-endian), to corrupt a file on purpose.
    void patch_u8(std::uint64_t offset, std::uint8_t value) const;
    void patch_u16(std::uint64_t offset, std::uint16_t value) const;
    void patch_u32(std::uint64_t offset, std::uint32_t value) const;
    void patch_u64(std::uint64_t offset, std::uint64_t value) const;
    void patch_f32(std::uint64_t offset, float value) const;
    void truncate(std::uint64_t size) const;
    void append(const std::vector<std::uint8_t>& bytes) const;
    [[nodiscard]] std::vector<std::uint8_t> read_all() const;

    // Offsets of one record, from the layout.
    [[nodiscard]] std::uint64_t node_record(std::uint32_t node) const;
    [[nodiscard]] std::uint64_t edge_record(std::uint32_t file_edge) const;

private:
    TempDir dir_;
    std::filesystem::path path_;
    GraphFileLayout layout_;
};

// Parses the text form above into a description (ADD_FAILURE on a malformed line).
[[nodiscard]] GraphDescription parse_graph_text(std::string_view text);

// Writes a description or the text form into a fresh temporary file (ADD_FAILURE on errors).
[[nodiscard]] TempGraphFile write_temp_graph(const GraphDescription& graph);
[[nodiscard]] TempGraphFile write_temp_graph(std::string_view text);

// Writes raw bytes into a fresh temporary file.
[[nodiscard]] TempGraphFile write_temp_bytes(const std::vector<std::uint8_t>& bytes);

// Runs `fn` with the logger at INFO for every target (no colours) and returns what it wrote to
// standard output, one entry per line with the timestamp and level column removed:
// "INFO quorvel_routing::graph: Opened graph: ...".
template <class Fn>
std::vector<std::string> capture_log_lines(Fn&& fn);

std::vector<std::string> finish_log_capture();
void start_log_capture();

template <class Fn>
std::vector<std::string> capture_log_lines(Fn&& fn) {
    start_log_capture();
    fn();
    return finish_log_capture();
}

}  // namespace quorvel_routing::testing
