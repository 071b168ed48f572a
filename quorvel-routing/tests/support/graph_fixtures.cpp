#include "graph_fixtures.hpp"

#include "quorvel_routing/platform/log.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace quorvel_routing::testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qr-graph-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
        return;
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }

namespace {
void write_at(const std::filesystem::path& path, std::uint64_t offset, const void* data, std::size_t n) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f) << "cannot open " << path;
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    ASSERT_TRUE(f) << "cannot patch " << path << " at " << offset;
}

template <class T>
void write_le(const std::filesystem::path& path, std::uint64_t offset, T value) {
    std::uint8_t b[sizeof(T)];
    std::uint64_t v = 0;
    std::memcpy(&v, &value, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T); ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
    write_at(path, offset, b, sizeof b);
}
}  // namespace

void TempGraphFile::patch_u8(std::uint64_t offset, std::uint8_t value) const { write_le(path_, offset, value); }
void TempGraphFile::patch_u16(std::uint64_t offset, std::uint16_t value) const { write_le(path_, offset, value); }
void TempGraphFile::patch_u32(std::uint64_t offset, std::uint32_t value) const { write_le(path_, offset, value); }
void TempGraphFile::patch_u64(std::uint64_t offset, std::uint64_t value) const { write_le(path_, offset, value); }
void TempGraphFile::patch_f32(std::uint64_t offset, float value) const { write_le(path_, offset, value); }

void TempGraphFile::truncate(std::uint64_t size) const { std::filesystem::resize_file(path_, size); }

void TempGraphFile::append(const std::vector<std::uint8_t>& bytes) const {
    std::ofstream f(path_, std::ios::binary | std::ios::app);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> TempGraphFile::read_all() const {
    std::ifstream f(path_, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::uint64_t TempGraphFile::node_record(std::uint32_t node) const {
    return layout_.sections.node_records + std::uint64_t(node) * layout_.node_record_size;
}

std::uint64_t TempGraphFile::edge_record(std::uint32_t file_edge) const {
    return layout_.sections.edge_records + std::uint64_t(file_edge) * layout_.edge_record_size;
}

namespace {
std::vector<std::string> words_of(std::string_view line) {
    std::vector<std::string> words;
    std::istringstream in{std::string(line)};
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

bool parse_number(const std::string& s, double& out) {
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return end != s.c_str() && *end == '\0';
}

bool parse_integer(const std::string& s, long long& out) {
    char* end = nullptr;
    out = std::strtoll(s.c_str(), &end, 0);
    return end != s.c_str() && *end == '\0';
}

bool parse_unsigned(const std::string& s, unsigned long long& out) {
    char* end = nullptr;
    out = std::strtoull(s.c_str(), &end, 0);
    return end != s.c_str() && *end == '\0';
}

bool apply_edge_option(const std::string& option, GraphWriterEdge& edge) {
    if (option == "toll") return edge.toll = true;
    if (option == "bit1") return edge.flag_bit1 = true;
    if (option == "bit2") return edge.flag_bit2 = true;
    const auto eq = option.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = option.substr(0, eq);
    const std::string value = option.substr(eq + 1);
    long long i = 0;
    unsigned long long u = 0;
    if (key == "class") {
        if (auto code = road_class_code(value)) {
            edge.road_class = *code;
            return true;
        }
        if (!parse_integer(value, i)) return false;
        edge.road_class = static_cast<std::uint8_t>(i);
        return true;
    }
    if (key == "country") {
        if (auto v = country_value(value)) {
            edge.country = *v;
            return true;
        }
        if (!parse_integer(value, i)) return false;
        edge.country = static_cast<std::uint8_t>(i);
        return true;
    }
    if (key == "elev") {
        const auto comma = value.find(',');
        double from = 0;
        double to = 0;
        if (comma == std::string::npos || !parse_number(value.substr(0, comma), from) ||
            !parse_number(value.substr(comma + 1), to))
            return false;
        edge.has_elevation = true;
        edge.elevation_from_m = static_cast<float>(from);
        edge.elevation_to_m = static_cast<float>(to);
        return true;
    }
    if (!parse_unsigned(value, u)) return false;
    if (key == "speed") edge.maxspeed_kmh = static_cast<std::uint8_t>(u);
    else if (key == "access") edge.access_class = static_cast<std::uint8_t>(u);
    else if (key == "ext14") edge.ext_word_14 = static_cast<std::uint32_t>(u);
    else if (key == "ext18") edge.ext_bytes_18 = u;
    else if (key == "ext26") edge.ext_word_26 = static_cast<std::uint32_t>(u);
    else if (key == "ext30") edge.ext_byte_30 = static_cast<std::uint8_t>(u);
    else return false;
    return true;
}

bool parse_line(const std::vector<std::string>& w, GraphDescription& g) {
    const std::string& kind = w[0];
    double a = 0;
    double b = 0;
    unsigned long long u = 0;
    unsigned long long v = 0;
    long long x = 0;
    if (kind == "version") {
        if (w.size() != 2 || !parse_unsigned(w[1], u)) return false;
        g.version = static_cast<std::uint32_t>(u);
        return true;
    }
    if (kind == "cell") {
        if (w.size() != 2 || !parse_number(w[1], a)) return false;
        g.cell_size_deg = static_cast<float>(a);
        return true;
    }
    if (kind == "grid") {
        if (w.size() != 5 || !parse_number(w[1], a) || !parse_number(w[2], b) || !parse_unsigned(w[3], u) ||
            !parse_unsigned(w[4], v))
            return false;
        g.grid = GridSpec{static_cast<float>(a), static_cast<float>(b), static_cast<std::uint32_t>(u),
                          static_cast<std::uint32_t>(v)};
        return true;
    }
    if (kind == "no-rcsr") return (g.embed_reverse_csr = false, true);
    if (kind == "no-mccm") return (g.embed_main_component = false, true);
    if (kind == "no-payload") return (g.write_restriction_payload = false, true);
    if (kind == "node") {
        if (w.size() < 3 || w.size() > 4 || !parse_number(w[1], a) || !parse_number(w[2], b)) return false;
        GraphWriterNode node{static_cast<float>(a), static_cast<float>(b), std::int64_t(g.nodes.size()) + 1};
        if (w.size() == 4) {
            if (w[3].rfind("osm=", 0) != 0 || !parse_integer(w[3].substr(4), x)) return false;
            node.osm_id = x;
        }
        g.nodes.push_back(node);
        return true;
    }
    if (kind == "edge" || kind == "both") {
        if (w.size() < 4 || !parse_unsigned(w[1], u) || !parse_unsigned(w[2], v) || !parse_number(w[3], a))
            return false;
        GraphWriterEdge edge;
        edge.from = static_cast<std::uint32_t>(u);
        edge.to = static_cast<std::uint32_t>(v);
        edge.length_m = static_cast<float>(a);
        for (std::size_t i = 4; i < w.size(); ++i)
            if (!apply_edge_option(w[i], edge)) return false;
        g.edges.push_back(edge);
        if (kind == "both") {
            std::swap(edge.from, edge.to);
            std::swap(edge.elevation_from_m, edge.elevation_to_m);
            g.edges.push_back(edge);
        }
        return true;
    }
    if (kind == "pair") {
        if (w.size() != 3 || !parse_unsigned(w[1], u) || !parse_unsigned(w[2], v)) return false;
        g.restriction_pairs.push_back(RestrictionPair{static_cast<std::uint32_t>(u), static_cast<std::uint32_t>(v)});
        return true;
    }
    if (kind == "triple") {
        long long y = 0;
        long long z = 0;
        if (w.size() != 4 || !parse_integer(w[1], x) || !parse_integer(w[2], y) || !parse_integer(w[3], z)) return false;
        g.osm_triples.push_back(OsmTriple{x, y, z});
        return true;
    }
    if (kind == "pool") {
        if (w.size() < 2) return false;
        std::vector<std::string> entries(w.begin() + 2, w.end());
        if (w[1] == "TREF") g.tref_pool = entries;
        else if (w[1] == "TNAM") g.tnam_pool = entries;
        else if (w[1] == "TDST") g.tdst_pool = entries;
        else if (w[1] == "TJXR") g.tjxr_pool = entries;
        else return false;
        return true;
    }
    return false;
}
}  // namespace

GraphDescription parse_graph_text(std::string_view text) {
    GraphDescription g;
    std::istringstream in{std::string(text)};
    for (std::string line; std::getline(in, line);) {
        const std::string content = line.substr(0, line.find('#'));
        const auto words = words_of(content);
        if (words.empty()) continue;
        if (!parse_line(words, g)) ADD_FAILURE() << "malformed graph fixture line: " << line;
    }
    return g;
}

TempGraphFile write_temp_graph(const GraphDescription& graph) {
    TempDir dir;
    auto path = dir.file("graph.bin");
    auto layout = write_graph_file(path, graph);
    if (!layout) {
        ADD_FAILURE() << "writing the fixture graph failed: " << render_error_report(layout.error());
        return TempGraphFile(std::move(dir), std::move(path), GraphFileLayout{});
    }
    return TempGraphFile(std::move(dir), std::move(path), std::move(*layout));
}

TempGraphFile write_temp_graph(std::string_view text) { return write_temp_graph(parse_graph_text(text)); }

TempGraphFile write_temp_bytes(const std::vector<std::uint8_t>& bytes) {
    TempDir dir;
    auto path = dir.file("graph.bin");
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    f.close();
    return TempGraphFile(std::move(dir), std::move(path), GraphFileLayout{});
}

void start_log_capture() {
    log::Filter filter;
    filter.directives.push_back(log::Directive{"", log::Level::Info});
    log::install(std::move(filter), false);
    ::testing::internal::CaptureStdout();
}

std::vector<std::string> finish_log_capture() {
    const std::string out = ::testing::internal::GetCapturedStdout();
    log::install(log::Filter{}, false);
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        // "<timestamp> <level padded to 5> <target>: <message>" -> "<LEVEL> <target>: <message>"
        const auto space = line.find(' ');
        if (space == std::string::npos) {
            lines.push_back(line);
            continue;
        }
        const auto level = line.find_first_not_of(' ', space);
        lines.push_back(level == std::string::npos ? line : line.substr(level));
    }
    return lines;
}

}  // namespace quorvel_routing::testing
