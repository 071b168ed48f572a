#include "quorvel_routing/graph_writer.hpp"

#include "graph_internal.hpp"
#include "quorvel_routing/platform/mapped_file.hpp"
#include "quorvel_routing/platform/text.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

namespace quorvel_routing {

namespace {

using graph_detail::put_f32;
using graph_detail::put_u16;
using graph_detail::put_u32;
using graph_detail::put_u64;

// Sequential output into a file or a byte vector, through one buffer.
class Output {
public:
    explicit Output(std::FILE* file) : file_(file) { buffer_.reserve(kBufferSize); }
    explicit Output(std::vector<std::uint8_t>* memory) : memory_(memory) {}

    void bytes(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        written_ += n;
        if (memory_ != nullptr) {
            memory_->insert(memory_->end(), p, p + n);
            return;
        }
        if (buffer_.size() + n > kBufferSize) flush();
        if (n > kBufferSize) {
            raw_write(p, n);
            return;
        }
        buffer_.insert(buffer_.end(), p, p + n);
    }
    void u8(std::uint8_t v) { bytes(&v, 1); }
    void u16(std::uint16_t v) {
        std::uint8_t b[2];
        put_u16(b, v);
        bytes(b, 2);
    }
    void u32(std::uint32_t v) {
        std::uint8_t b[4];
        put_u32(b, v);
        bytes(b, 4);
    }
    void u64(std::uint64_t v) {
        std::uint8_t b[8];
        put_u64(b, v);
        bytes(b, 8);
    }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    void f32(float v) {
        std::uint8_t b[4];
        put_f32(b, v);
        bytes(b, 4);
    }
    void flush() {
        if (file_ != nullptr && !buffer_.empty()) raw_write(buffer_.data(), buffer_.size());
        buffer_.clear();
    }
    [[nodiscard]] std::uint64_t written() const { return written_; }
    [[nodiscard]] int error() const { return errno_; }

private:
    static constexpr std::size_t kBufferSize = 1u << 20;

    void raw_write(const std::uint8_t* p, std::size_t n) {
        if (errno_ != 0) return;
        if (std::fwrite(p, 1, n, file_) != n) errno_ = errno != 0 ? errno : EIO;
    }

    std::FILE* file_ = nullptr;
    std::vector<std::uint8_t>* memory_ = nullptr;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t written_ = 0;
    int errno_ = 0;
};

std::int32_t floor_to_i32(float x) {
    if (std::isnan(x)) return 0;
    const float f = std::floor(x);
    if (f <= -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    if (f >= 2147483648.0f) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(f);
}

// Decimetres of a length below 6553.5 m, otherwise nothing (the long-length table).
std::optional<std::uint16_t> decimetres(float length_m) {
    if (!(length_m > 0.0f)) return std::uint16_t(0);
    const double dm = std::round(double(length_m) * 10.0);
    if (dm >= 65535.0) return std::nullopt;
    return static_cast<std::uint16_t>(dm);
}

std::uint16_t elevation_dm(float metres) {
    if (!(metres > 0.0f)) return 0;
    const double dm = std::round(double(metres) * 10.0);
    return dm > 65535.0 ? std::uint16_t(65535) : static_cast<std::uint16_t>(dm);
}

struct Pool {
    const std::vector<std::string>* entries;
    std::uint32_t tag;
    StringPoolKind kind;
    std::uint32_t min_version;
    const char* name;
};

Result<GraphFileLayout> write_graph(const GraphDescription& g, Output& out) {
    if (g.version < graph_format::kMinVersion || g.version > graph_format::kMaxVersion)
        return fail(fmt::format("Cannot write graph format version {}: expected 1\u20137", g.version));
    if (g.nodes.size() >= std::numeric_limits<std::uint32_t>::max())
        return fail(fmt::format("Too many nodes for a graph file: {}", g.nodes.size()));
    if (g.edges.size() >= std::numeric_limits<std::uint32_t>::max())
        return fail(fmt::format("Too many edges for a graph file: {}", g.edges.size()));
    const auto n = static_cast<std::uint32_t>(g.nodes.size());
    const auto e = static_cast<std::uint32_t>(g.edges.size());
    const std::uint32_t version = g.version;

    for (std::uint32_t i = 0; i < e; ++i) {
        const GraphWriterEdge& edge = g.edges[i];
        if (edge.from >= n || edge.to >= n)
            return fail(fmt::format("Edge {} runs from node {} to node {}, but the graph has {} nodes", i, edge.from,
                                    edge.to, n));
        if (edge.access_class > 7)
            return fail(fmt::format("Edge {} has access class {} (expected 0 to 7)", i, edge.access_class));
    }
    for (std::uint32_t i = 0; i < n; ++i)
        if (!std::isfinite(g.nodes[i].lat) || !std::isfinite(g.nodes[i].lon))
            return fail(fmt::format("Node {} has a non-finite coordinate", i));
    if (!(g.cell_size_deg > 0.0f) || !std::isfinite(g.cell_size_deg))
        return fail(fmt::format("Cell size must be a positive number of degrees, got {}", text::f32(g.cell_size_deg)));

    const bool with_payload = version >= 3 && g.write_restriction_payload;
    const bool with_rcsr = version >= 4 && g.embed_reverse_csr;
    const bool with_mccm = version >= 5 && with_rcsr && g.embed_main_component;
    const Pool pools[4] = {{g.tref_pool ? &*g.tref_pool : nullptr, graph_format::kTagTref, StringPoolKind::Tref, 6, "TREF"},
                           {g.tnam_pool ? &*g.tnam_pool : nullptr, graph_format::kTagTnam, StringPoolKind::Tnam, 7, "TNAM"},
                           {g.tdst_pool ? &*g.tdst_pool : nullptr, graph_format::kTagTdst, StringPoolKind::Tdst, 7, "TDST"},
                           {g.tjxr_pool ? &*g.tjxr_pool : nullptr, graph_format::kTagTjxr, StringPoolKind::Tjxr, 7, "TJXR"}};
    for (const Pool& pool : pools) {
        if (pool.entries == nullptr) continue;
        if (version < pool.min_version)
            return fail(fmt::format("The {} string pool needs graph format version {} or later", pool.name,
                                    pool.min_version));
        if (!with_mccm)
            return fail(fmt::format("The {} string pool needs the reverse adjacency and the main component embedded",
                                    pool.name));
        if (pool.entries->size() >= std::numeric_limits<std::uint32_t>::max())
            return fail(fmt::format("The {} string pool has too many entries", pool.name));
        std::uint64_t total = 0;
        for (const std::string& s : *pool.entries) total += s.size();
        if (total > std::numeric_limits<std::uint32_t>::max())
            return fail(fmt::format("The {} string pool holds more than 4 GiB of text", pool.name));
    }
    if (g.main_component && g.main_component->size() != n)
        return fail(fmt::format("Main component list has {} entries for {} nodes", g.main_component->size(), n));

    // Grid.
    GraphFileLayout layout;
    layout.version = version;
    layout.node_count = n;
    layout.edge_count = e;
    layout.cell_size_deg = g.cell_size_deg;
    if (g.grid) {
        layout.min_lat = g.grid->min_lat;
        layout.min_lon = g.grid->min_lon;
        layout.grid_rows = g.grid->rows;
        layout.grid_cols = g.grid->cols;
    } else if (n == 0) {
        layout.grid_rows = layout.grid_cols = 1;
    } else {
        float min_lat = g.nodes[0].lat;
        float min_lon = g.nodes[0].lon;
        for (const auto& node : g.nodes) {
            min_lat = std::min(min_lat, node.lat);
            min_lon = std::min(min_lon, node.lon);
        }
        std::int64_t rows = 1;
        std::int64_t cols = 1;
        for (const auto& node : g.nodes) {
            rows = std::max<std::int64_t>(rows, std::int64_t(floor_to_i32((node.lat - min_lat) / g.cell_size_deg)) + 1);
            cols = std::max<std::int64_t>(cols, std::int64_t(floor_to_i32((node.lon - min_lon) / g.cell_size_deg)) + 1);
        }
        layout.min_lat = min_lat;
        layout.min_lon = min_lon;
        layout.grid_rows = static_cast<std::uint32_t>(rows);
        layout.grid_cols = static_cast<std::uint32_t>(cols);
    }
    const std::uint64_t cell_count = std::uint64_t(layout.grid_rows) * layout.grid_cols;
    if (cell_count > (std::uint64_t(1) << 31))
        return fail(fmt::format("Grid of {} x {} cells is too large", layout.grid_rows, layout.grid_cols));

    std::vector<std::uint32_t> node_cell(n);
    std::vector<std::uint32_t> cell_offsets(cell_count + 1, 0);
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto& node = g.nodes[i];
        const std::int32_t row = floor_to_i32((node.lat - layout.min_lat) / layout.cell_size_deg);
        const std::int32_t col = floor_to_i32((node.lon - layout.min_lon) / layout.cell_size_deg);
        if (row < 0 || col < 0 || std::uint32_t(row) >= layout.grid_rows || std::uint32_t(col) >= layout.grid_cols)
            return fail(fmt::format("Node {} at ({}, {}) lies outside the grid", i, text::f32(node.lat),
                                    text::f32(node.lon)));
        node_cell[i] = static_cast<std::uint32_t>(std::uint64_t(row) * layout.grid_cols + std::uint64_t(col));
        ++cell_offsets[std::size_t(node_cell[i]) + 1];
    }
    for (std::uint64_t k = 0; k < cell_count; ++k) cell_offsets[k + 1] += cell_offsets[k];

    // CSR order: a stable counting sort of the edges by source node.
    std::vector<std::uint32_t> first_edge(std::size_t(n) + 1, 0);
    for (const auto& edge : g.edges) ++first_edge[std::size_t(edge.from) + 1];
    for (std::uint32_t i = 0; i < n; ++i) first_edge[i + 1] += first_edge[i];
    std::vector<std::uint32_t> order(e);  // file index -> input index
    layout.file_edge_index.assign(e, 0);
    {
        std::vector<std::uint32_t> cursor(first_edge.begin(), first_edge.end() - 1);
        for (std::uint32_t i = 0; i < e; ++i) {
            const std::uint32_t f = cursor[g.edges[i].from]++;
            order[f] = i;
            layout.file_edge_index[i] = f;
        }
    }
    std::uint32_t long_count = 0;
    for (const auto& edge : g.edges)
        if (!decimetres(edge.length_m)) ++long_count;
    // The table is indexed by the u16 length code.
    if (long_count > 0x10000)
        return fail(fmt::format("Too many edges of 6553.5 m or more for the long-length table: {} (at most 65536)",
                                long_count));
    layout.long_length_count = long_count;

    layout.node_record_size = graph_format::node_record_size(version);
    layout.edge_record_size = graph_format::edge_record_size(version);
    layout.sections = graph_sections(version, n, e, layout.grid_rows, layout.grid_cols, long_count);
    std::uint64_t cursor = layout.sections.base_file_end;
    if (with_payload) {
        layout.restriction_payload_offset = cursor;
        cursor += 8 + 8 * std::uint64_t(g.restriction_pairs.size()) + 24 * std::uint64_t(g.osm_triples.size());
    }
    if (with_rcsr) {
        layout.reverse_csr_offset = cursor;
        cursor += graph_format::reverse_csr_size(n, e);
    }
    if (with_mccm) {
        layout.main_component_offset = cursor;
        cursor += graph_format::main_component_size(n);
    }
    for (const Pool& pool : pools) {
        if (pool.entries == nullptr) continue;
        layout.string_pool_offsets[static_cast<std::size_t>(pool.kind)] = cursor;
        std::uint64_t data = 0;
        for (const std::string& s : *pool.entries) data += s.size();
        cursor += 12 + 4 * std::uint64_t(pool.entries->size()) + data;
    }
    layout.file_size = cursor;
    if (g.restriction_pairs.size() > std::numeric_limits<std::uint32_t>::max() ||
        g.osm_triples.size() > std::numeric_limits<std::uint32_t>::max())
        return fail("Too many turn restrictions for a graph file");

    // Derived structures, from the writer's own arrays.
    const auto out_range = [&](std::uint32_t u) -> Result<EdgeRange> { return EdgeRange{first_edge[u], first_edge[u + 1]}; };
    const auto target = [&](std::uint32_t f) -> Result<std::uint32_t> { return g.edges[order[f]].to; };
    OwnedReverseCsr reverse;
    if (with_rcsr) reverse = QR_TRY(graph_detail::build_reverse(n, e, out_range, target));
    std::vector<std::uint8_t> component;
    if (with_mccm) {
        if (g.main_component) {
            component = *g.main_component;
        } else {
            auto incoming = [&](std::uint32_t v, auto&& visit) -> Result<void> {
                for (std::uint32_t k = reverse.offsets[v]; k < reverse.offsets[std::size_t(v) + 1]; ++k)
                    visit(reverse.entries[k].source);
                return {};
            };
            auto scc = QR_TRY(graph_detail::seed_component(n, out_range, target, incoming));
            component = std::move(scc.member);
        }
    }

    // Header.
    std::uint8_t header[64] = {};
    put_u32(header + 0, graph_format::kMagic);
    put_u32(header + 4, version);
    put_u32(header + 8, n);
    put_u32(header + 12, e);
    put_f32(header + 16, layout.cell_size_deg);
    put_f32(header + 20, layout.min_lat);
    put_f32(header + 24, layout.min_lon);
    put_u32(header + 28, layout.grid_rows);
    put_u32(header + 32, layout.grid_cols);
    put_u32(header + 36, long_count);
    if (version >= 3) {
        put_u64(header + 40, layout.restriction_payload_offset);
        put_u32(header + 48, static_cast<std::uint32_t>(g.restriction_pairs.size()));
        put_u32(header + 52, static_cast<std::uint32_t>(g.osm_triples.size()));
    }
    if (version >= 4) put_u64(header + 56, layout.reverse_csr_offset);
    out.bytes(header, sizeof header);

    // Nodes.
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint8_t rec[20] = {};
        put_f32(rec, g.nodes[i].lat);
        put_f32(rec + 4, g.nodes[i].lon);
        put_u32(rec + 8, first_edge[i]);
        put_u32(rec + 12, g.nodes[i].ext_word_12);
        put_u32(rec + 16, g.nodes[i].ext_word_16);
        out.bytes(rec, layout.node_record_size);
    }
    for (const auto& node : g.nodes) out.i64(node.osm_id);

    // Edges in file order; long lengths get table indices in the same order.
    std::vector<float> long_lengths;
    long_lengths.reserve(long_count);
    for (std::uint32_t f = 0; f < e; ++f) {
        const GraphWriterEdge& edge = g.edges[order[f]];
        std::uint8_t rec[32] = {};
        std::uint8_t flags = static_cast<std::uint8_t>(edge.access_class << graph_format::kAccessClassShift);
        if (edge.toll) flags |= graph_format::kFlagToll;
        if (edge.flag_bit1) flags |= graph_format::kFlagBit1;
        if (edge.flag_bit2) flags |= graph_format::kFlagBit2;
        if (edge.has_elevation) flags |= graph_format::kFlagHasElevation;
        std::uint16_t length_code;
        if (const auto dm = decimetres(edge.length_m)) {
            length_code = *dm;
        } else {
            flags |= graph_format::kFlagLongLength;
            length_code = static_cast<std::uint16_t>(long_lengths.size());
            long_lengths.push_back(edge.length_m);
        }
        put_u32(rec, edge.to);
        put_u16(rec + 4, length_code);
        rec[6] = edge.road_class;
        rec[7] = edge.maxspeed_kmh;
        rec[8] = flags;
        rec[9] = edge.country;
        put_u16(rec + 10, elevation_dm(edge.elevation_from_m));
        put_u16(rec + 12, elevation_dm(edge.elevation_to_m));
        put_u32(rec + 14, edge.ext_word_14);
        put_u64(rec + 18, edge.ext_bytes_18);
        put_u32(rec + 26, edge.ext_word_26);
        rec[30] = edge.ext_byte_30;
        out.bytes(rec, layout.edge_record_size);
    }

    // Grid: cell offsets, then the nodes of each cell in node order.
    for (const std::uint32_t offset : cell_offsets) out.u32(offset);
    {
        std::vector<std::uint32_t> cell_nodes(n);
        std::vector<std::uint32_t> next(cell_offsets.begin(), cell_offsets.end() - 1);
        for (std::uint32_t i = 0; i < n; ++i) cell_nodes[next[node_cell[i]]++] = i;
        for (const std::uint32_t node : cell_nodes) out.u32(node);
    }
    for (const float length : long_lengths) out.f32(length);

    if (with_payload) {
        const auto translate = [&](std::uint32_t input) {
            return input < e ? layout.file_edge_index[input] : input;
        };
        out.u32(static_cast<std::uint32_t>(g.restriction_pairs.size()));
        for (const auto& pair : g.restriction_pairs) {
            out.u32(translate(pair.from_edge));
            out.u32(translate(pair.to_edge));
        }
        out.u32(static_cast<std::uint32_t>(g.osm_triples.size()));
        for (const auto& triple : g.osm_triples) {
            out.i64(triple.from);
            out.i64(triple.via);
            out.i64(triple.to);
        }
    }
    if (with_rcsr) {
        out.u32(graph_format::kTagRcsr);
        out.u32(n);
        out.u32(e);
        for (const std::uint32_t offset : reverse.offsets) out.u32(offset);
        for (const IncomingEntry& entry : reverse.entries) {
            out.u32(entry.source);
            out.u32(entry.edge);
        }
    }
    if (with_mccm) {
        out.u32(graph_format::kTagMccm);
        out.u32(n);
        const std::uint32_t byte_count = static_cast<std::uint32_t>((std::uint64_t(n) + 7) / 8);
        out.u32(byte_count);
        std::vector<std::uint8_t> bits(byte_count, 0);
        for (std::uint32_t i = 0; i < n; ++i)
            if (component[i]) bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | (1u << (i % 8)));
        out.bytes(bits.data(), bits.size());
    }
    for (const Pool& pool : pools) {
        if (pool.entries == nullptr) continue;
        out.u32(pool.tag);
        out.u32(static_cast<std::uint32_t>(pool.entries->size()));
        std::uint32_t offset = 0;
        out.u32(offset);
        for (const std::string& s : *pool.entries) {
            offset += static_cast<std::uint32_t>(s.size());
            out.u32(offset);
        }
        for (const std::string& s : *pool.entries) out.bytes(s.data(), s.size());
    }
    out.flush();
    return layout;
}

}  // namespace

Result<GraphFileLayout> write_graph_file(const std::filesystem::path& path, const GraphDescription& graph) {
    const std::string path_text = path.string();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file)
        return fail(Error(os_error_message(errno)).context(fmt::format("Failed to create graph file: {}", path_text)));
    Output out(file.get());
    auto layout = write_graph(graph, out);
    if (!layout) return fail(std::move(layout).error().context(fmt::format("Failed to write graph file: {}", path_text)));
    int error = out.error();
    if (error == 0 && std::fclose(file.release()) != 0) error = errno != 0 ? errno : EIO;
    if (error != 0)
        return fail(Error(os_error_message(error)).context(fmt::format("Failed to write graph file: {}", path_text)));
    return layout;
}

Result<EncodedGraph> encode_graph(const GraphDescription& graph) {
    EncodedGraph encoded;
    Output out(&encoded.bytes);
    encoded.layout = QR_TRY(write_graph(graph, out));
    return encoded;
}

std::optional<std::uint8_t> road_class_code(std::string_view name) {
    for (std::size_t i = 0; i < kRoadClassNames.size(); ++i)
        if (kRoadClassNames[i] == name) return static_cast<std::uint8_t>(i);
    return std::nullopt;
}

std::optional<std::uint8_t> country_value(std::string_view iso_code) {
    for (std::size_t i = 0; i < kCountryCodes.size(); ++i)
        if (kCountryCodes[i] == iso_code) return static_cast<std::uint8_t>(i + 1);
    return std::nullopt;
}

}  // namespace quorvel_routing
