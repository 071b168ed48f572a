#include "quorvel_routing/graph.hpp"

#include "graph_internal.hpp"
#include "quorvel_routing/platform/log.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorvel_routing {

using graph_detail::fits;
using graph_detail::read_f32;
using graph_detail::read_i64;
using graph_detail::read_u16;
using graph_detail::read_u32;
using graph_detail::read_u64;
using graph_detail::sat_add;
using graph_detail::sat_mul;

namespace {
constexpr std::string_view kTarget = "quorvel_routing::graph";

[[noreturn]] void index_violation(const char* what, std::uint64_t index, std::uint64_t count) {
    std::fprintf(stderr, "quorvel_routing::graph: %s index %llu out of range (%llu)\n", what,
                 static_cast<unsigned long long>(index), static_cast<unsigned long long>(count));
    std::abort();
}

double percent(std::uint32_t count, std::uint32_t total) {
    return total == 0 ? 0.0 : double(count) / double(total) * 100.0;
}

double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}
}  // namespace

std::optional<std::string_view> road_class_name(std::uint8_t road_class) {
    if (road_class >= kRoadClassNames.size()) return std::nullopt;
    return kRoadClassNames[road_class];
}

std::optional<std::string_view> country_code(std::uint8_t country) {
    if (country == 0 || country > kCountryCodes.size()) return std::nullopt;
    return kCountryCodes[country - 1];
}

namespace graph_format {
std::uint64_t node_record_size(std::uint32_t version) {
    if (version >= 1 && version <= 5) return 12;
    if (version == 6) return 16;
    return 20;
}
std::uint64_t edge_record_size(std::uint32_t version) {
    if (version >= 1 && version <= 5) return 14;
    if (version == 6) return 18;
    return 32;
}
std::uint64_t reverse_csr_size(std::uint32_t node_count, std::uint32_t edge_count) {
    return 16 + 4 * std::uint64_t(node_count) + 8 * std::uint64_t(edge_count);
}
std::uint64_t main_component_size(std::uint32_t node_count) {
    return 12 + (std::uint64_t(node_count) + 7) / 8;
}
}  // namespace graph_format

GraphSections graph_sections(std::uint32_t version, std::uint32_t node_count, std::uint32_t edge_count,
                             std::uint32_t grid_rows, std::uint32_t grid_cols,
                             std::uint32_t long_length_count) {
    const std::uint64_t n = node_count;
    GraphSections s;
    s.node_records = graph_format::kHeaderSize;
    s.node_osm_ids = s.node_records + graph_format::node_record_size(version) * n;
    s.edge_records = s.node_osm_ids + 8 * n;
    s.cell_offsets = s.edge_records + graph_format::edge_record_size(version) * std::uint64_t(edge_count);
    const std::uint64_t cells = std::uint64_t(grid_rows) * std::uint64_t(grid_cols);
    s.cell_nodes = sat_add(s.cell_offsets, sat_add(sat_mul(4, cells), 4));
    s.long_lengths = sat_add(s.cell_nodes, 4 * n);
    s.base_file_end = sat_add(s.long_lengths, 4 * std::uint64_t(long_length_count));
    return s;
}

std::weak_ordering operator<=>(const CellLb& a, const CellLb& b) {
    if (auto c = std::strong_order(a.lower_bound_m, b.lower_bound_m); c != 0) return c;
    if (auto c = a.row <=> b.row; c != 0) return c;
    return a.col <=> b.col;
}

IncomingEntry IncomingRange::operator[](std::uint32_t k) const {
    if (owned_ != nullptr) return owned_[k];
    const std::uint8_t* p = mapped_ + 8 * std::size_t(k);
    return IncomingEntry{read_u32(p), read_u32(p + 4)};
}

namespace {

// Validates one string pool at `start`; nullopt when absent or invalid.
std::optional<StringPoolPosition> locate_pool(std::span<const std::uint8_t> bytes, std::uint64_t start,
                                              std::uint32_t tag) {
    const std::uint64_t len = bytes.size();
    if (!fits(start, 8, len)) return std::nullopt;
    if (read_u32(bytes.data() + start) != tag) return std::nullopt;
    const std::uint32_t k = read_u32(bytes.data() + start + 4);
    const std::uint64_t table = start + 8;
    const std::uint64_t table_size = 4 * (std::uint64_t(k) + 1);
    if (!fits(table, table_size, len)) return std::nullopt;
    const std::uint32_t data_len = read_u32(bytes.data() + table + 4 * std::uint64_t(k));
    const std::uint64_t data_start = table + table_size;
    if (!fits(data_start, data_len, len)) return std::nullopt;
    return StringPoolPosition{start, table, data_start, k, data_start + data_len};
}

}  // namespace

Result<MappedGraph> MappedGraph::open(const std::filesystem::path& path) {
    const std::string path_text = path.string();
    auto mapped = platform::MappedFile::open(path);
    if (!mapped) {
        const auto& failure = mapped.error();
        if (failure.failure == platform::MappedFile::Failure::Open)
            return fail(failure.os_error.context(fmt::format("Failed to open graph file: {}", path_text)));
        return fail(failure.os_error.context("Failed to memory-map graph file"));
    }

    MappedGraph g;
    g.file_ = std::move(*mapped);
    g.path_ = path_text;
    const std::uint8_t* b = g.file_.data();
    const std::uint64_t len = g.file_.size();

    if (len < graph_format::kHeaderSize) return fail(fmt::format("Graph file too small for header ({} bytes)", len));
    if (read_u32(b) != graph_format::kMagic)
        return fail(fmt::format("Invalid magic bytes: [{}, {}, {}, {}]", b[0], b[1], b[2], b[3]));
    g.version_ = read_u32(b + 4);
    if (g.version_ < graph_format::kMinVersion || g.version_ > graph_format::kMaxVersion)
        return fail(fmt::format("Unsupported graph format version: {} (expected 1\u20137)", g.version_));

    g.node_count_ = read_u32(b + 8);
    g.edge_count_ = read_u32(b + 12);
    g.cell_size_deg_ = read_f32(b + 16);
    g.min_lat_ = read_f32(b + 20);
    g.min_lon_ = read_f32(b + 24);
    g.grid_rows_ = read_u32(b + 28);
    g.grid_cols_ = read_u32(b + 32);
    g.long_length_count_ = read_u32(b + 36);
    g.node_record_size_ = graph_format::node_record_size(g.version_);
    g.edge_record_size_ = graph_format::edge_record_size(g.version_);
    g.sections_ = graph_sections(g.version_, g.node_count_, g.edge_count_, g.grid_rows_, g.grid_cols_,
                                 g.long_length_count_);
    const std::uint64_t base_end = g.sections_.base_file_end;
    if (len < base_end) return fail(fmt::format("Graph file truncated: {} bytes, expected at least {}", len, base_end));

    const std::uint32_t n = g.node_count_;
    const std::uint32_t e = g.edge_count_;

    // Turn restrictions.
    if (g.version_ >= 3) {
        const std::uint64_t offset = read_u64(b + 40);
        const std::uint32_t header_pairs = read_u32(b + 48);
        const std::uint32_t header_triples = read_u32(b + 52);
        if (offset < base_end || offset >= len) {
            log::warn(kTarget,
                      "V3 graph {}: restriction_payload_offset {} invalid (base_file_end={}, len={}); header "
                      "lists {} pairs + {} triples \u2014 turn restrictions were NOT loaded (routing behaves "
                      "like unrestricted)",
                      path_text, offset, base_end, len, header_pairs, header_triples);
        } else {
            std::uint64_t cursor = offset;
            bool pairs_truncated = false;
            if (fits(cursor, 4, len)) {
                const std::uint32_t p = read_u32(b + cursor);
                cursor += 4;
                const std::uint64_t need = 8 * std::uint64_t(p);
                if (fits(cursor, need, len)) {
                    g.pairs_.reserve(p);
                    for (std::uint32_t i = 0; i < p; ++i) {
                        const std::uint8_t* q = b + cursor + 8 * std::uint64_t(i);
                        g.pairs_.push_back(RestrictionPair{read_u32(q), read_u32(q + 4)});
                    }
                    cursor += need;
                } else {
                    pairs_truncated = true;
                    log::warn(kTarget, "V3 graph {}: restriction pairs truncated at offset {} (expected {} bytes past count)",
                              path_text, cursor, need);
                }
            }
            // After a truncated pair list the file ends inside it: no triple list can follow.
            if (!pairs_truncated && fits(cursor, 4, len)) {
                const std::uint32_t q = read_u32(b + cursor);
                cursor += 4;
                const std::uint64_t need = 24 * std::uint64_t(q);
                if (fits(cursor, need, len)) {
                    g.triples_.reserve(q);
                    for (std::uint32_t i = 0; i < q; ++i) {
                        const std::uint8_t* t = b + cursor + 24 * std::uint64_t(i);
                        g.triples_.push_back(OsmTriple{read_i64(t), read_i64(t + 8), read_i64(t + 16)});
                    }
                } else {
                    log::warn(kTarget, "V3 graph {}: restriction triples truncated at offset {} (expected {} bytes past count)",
                              path_text, cursor, need);
                }
            }
            if (g.pairs_.size() != header_pairs || g.triples_.size() != header_triples) {
                log::warn(kTarget,
                          "V3 graph {}: restriction payload/header mismatch \u2014 loaded {} pairs + {} triples vs "
                          "header {} + {} (file may be corrupt or from an incompatible writer)",
                          path_text, g.pairs_.size(), g.triples_.size(), header_pairs, header_triples);
            }
        }
    }
    std::sort(g.pairs_.begin(), g.pairs_.end());
    std::sort(g.triples_.begin(), g.triples_.end());

    log::info(kTarget, "Opened graph: {} nodes, {} edges, {}x{} grid, {} restriction pairs, {} OSM triples, {:.1f} MB",
              n, e, g.grid_rows_, g.grid_cols_, g.pairs_.size(), g.triples_.size(), double(len) / 1048576.0);

    const std::span<const std::uint8_t> bytes = g.file_.bytes();
    const std::uint64_t rcsr_offset = g.version_ >= 4 ? read_u64(b + 56) : 0;

    // Reverse adjacency.
    bool have_reverse = false;
    if (rcsr_offset != 0) {
        const std::uint64_t size = graph_format::reverse_csr_size(n, e);
        const bool valid = fits(rcsr_offset, size, len) && read_u32(b + rcsr_offset) == graph_format::kTagRcsr &&
                           read_u32(b + rcsr_offset + 4) == n && read_u32(b + rcsr_offset + 8) == e &&
                           read_u32(b + rcsr_offset + 12 + 4 * std::uint64_t(n)) == e;
        if (valid) {
            g.reverse_ = MappedReverseCsr{rcsr_offset};
            have_reverse = true;
            log::info(kTarget, "Reverse CSR: mmap-backed at offset {} (zero-copy, {} edges)", rcsr_offset, e);
        } else {
            log::warn(kTarget, "V4+ graph: embedded reverse CSR at offset {} invalid; rebuilding from forward CSR",
                      rcsr_offset);
        }
    }
    if (!have_reverse) {
        log::info(kTarget, "Building reverse adjacency ({} edges)...", e);
        const auto started = std::chrono::steady_clock::now();
        g.reverse_ = QR_TRY(build_reverse_adjacency_from_mmap(bytes, g.sections_.edge_records, n, e,
                                                             g.node_record_size_, g.edge_record_size_));
        log::info(kTarget, "Reverse adjacency built in {:.1f}ms", elapsed_ms(started));
    }

    // Main component.
    bool have_component = false;
    bool mccm_header_valid = false;
    std::uint64_t mccm_start = 0;
    if (g.version_ >= 5 && rcsr_offset != 0) {
        mccm_start = sat_add(rcsr_offset, graph_format::reverse_csr_size(n, e));
        const std::uint64_t byte_count = (std::uint64_t(n) + 7) / 8;
        mccm_header_valid = fits(mccm_start, 12, len) && read_u32(b + mccm_start) == graph_format::kTagMccm &&
                            read_u32(b + mccm_start + 4) == n && read_u32(b + mccm_start + 8) == byte_count;
        if (mccm_header_valid && fits(mccm_start, 12 + byte_count, len)) {
            const std::uint64_t bitset = mccm_start + 12;
            g.main_component_ = MappedMainComponent{bitset};
            have_component = true;
            // Counting reads the whole bitset; only the log line needs it at open.
            if (log::enabled(log::Level::Info, kTarget)) {
                const std::uint32_t count = g.main_component_count();
                log::info(kTarget, "Main SCC: mmap-backed bitset at offset {} \u2014 {} nodes ({:.1f}%)", bitset, count,
                          percent(count, n));
            }
        } else {
            log::warn(kTarget, "V5 graph {}: embedded main SCC at offset {} invalid; computing at open", path_text,
                      mccm_start);
        }
    }
    if (!have_component) {
        auto component = QR_TRY(compute_main_component_from_mmap(bytes, g.sections_.edge_records, n, e,
                                                                g.node_record_size_, g.edge_record_size_,
                                                                g.reverse_));
        g.owned_component_count_ = component.count;
        g.main_component_ = std::move(component.member);
    }

    // String pools, carried for later use.
    if (g.version_ >= 6 && rcsr_offset != 0 && mccm_header_valid) {
        const std::uint64_t tref_start = sat_add(mccm_start, graph_format::main_component_size(n));
        g.pools_[0] = locate_pool(bytes, tref_start, graph_format::kTagTref);
        if (g.version_ >= 7 && g.pools_[0]) {
            std::uint64_t at = g.pools_[0]->end;
            const std::uint32_t tags[3] = {graph_format::kTagTnam, graph_format::kTagTdst, graph_format::kTagTjxr};
            for (int i = 0; i < 3; ++i) {
                g.pools_[std::size_t(i) + 1] = locate_pool(bytes, at, tags[i]);
                // A missing pool leaves the next one to be looked for where it was expected.
                if (g.pools_[std::size_t(i) + 1]) at = g.pools_[std::size_t(i) + 1]->end;
            }
        }
    }
    return g;
}

std::uint32_t MappedGraph::first_edge(std::uint32_t node) const {
    return read_u32(file_.data() + sections_.node_records + std::uint64_t(node) * node_record_size_ + 8);
}

NodeCoord MappedGraph::node_coord(std::uint32_t node) const {
    if (node >= node_count_) index_violation("node", node, node_count_);
    const std::uint8_t* p = file_.data() + sections_.node_records + std::uint64_t(node) * node_record_size_;
    return NodeCoord{read_f32(p), read_f32(p + 4)};
}

std::int64_t MappedGraph::node_osm_id(std::uint32_t node) const {
    if (node >= node_count_) index_violation("node", node, node_count_);
    return read_i64(file_.data() + sections_.node_osm_ids + 8 * std::uint64_t(node));
}

Result<EdgeRange> MappedGraph::out_edges(std::uint32_t node) const {
    if (node >= node_count_) index_violation("node", node, node_count_);
    const std::uint32_t begin = first_edge(node);
    const std::uint32_t end = node + 1 < node_count_ ? first_edge(node + 1) : edge_count_;
    if (begin > end || end > edge_count_) return fail(graph_detail::corrupt_out_range(node, begin, end, edge_count_));
    return EdgeRange{begin, end};
}

Result<std::uint32_t> MappedGraph::out_degree(std::uint32_t node) const {
    const EdgeRange range = QR_TRY(out_edges(node));
    return range.size();
}

Result<EdgeView> MappedGraph::edge(std::uint32_t edge) const {
    if (edge >= edge_count_)
        return fail(fmt::format("Edge index {} out of range (the file has {} edges)", edge, edge_count_));
    const std::uint64_t len = file_.size();
    const std::uint64_t start = sections_.edge_records + std::uint64_t(edge) * edge_record_size_;
    const std::uint8_t* p = file_.data() + start;

    EdgeView v;
    v.target = read_u32(p);
    if (v.target >= node_count_) return fail(graph_detail::corrupt_target(edge, v.target, node_count_));
    const std::uint16_t length_code = read_u16(p + 4);
    const std::uint8_t road_class = p[6];
    v.maxspeed_kmh = p[7];
    const std::uint8_t flags = p[8];
    const std::uint8_t country = p[9];
    v.elevation_from_m = float(read_u16(p + 10)) / 10.0f;
    v.elevation_to_m = float(read_u16(p + 12)) / 10.0f;
    if (edge_record_size_ >= 18 && fits(start, 18, len)) v.ext_word_14 = read_u32(p + 14);
    if (edge_record_size_ >= 32 && fits(start, 32, len)) {
        v.ext_bytes_18 = read_u64(p + 18);
        v.ext_word_26 = read_u32(p + 26);
        v.ext_byte_30 = p[30];
    }
    v.toll = (flags & graph_format::kFlagToll) != 0;
    v.flag_bit1 = (flags & graph_format::kFlagBit1) != 0;
    v.flag_bit2 = (flags & graph_format::kFlagBit2) != 0;
    v.has_elevation = (flags & graph_format::kFlagHasElevation) != 0;
    v.access_class = static_cast<std::uint8_t>(flags >> graph_format::kAccessClassShift);

    if (flags & graph_format::kFlagLongLength) {
        v.length_m = length_code < long_length_count_
                         ? read_f32(file_.data() + sections_.long_lengths + 4 * std::uint64_t(length_code))
                         : 0.0f;
    } else {
        v.length_m = float(length_code) / 10.0f;
    }
    if (version_ == 1 && v.has_elevation) {
        const double rise = double(v.elevation_to_m) - double(v.elevation_from_m);
        const double run = double(v.length_m);
        v.length_m = static_cast<float>(std::sqrt(rise * rise + run * run));
    }
    v.road_class = road_class_name(road_class);
    v.country = country_code(country);
    return v;
}

std::uint32_t MappedGraph::edge_source(std::uint32_t edge) const {
    if (node_count_ <= 1) return 0;
    // First node whose first edge lies past `edge`; the source is the one before it.
    std::uint32_t lo = 0;
    std::uint32_t hi = node_count_;
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (first_edge(mid) <= edge)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo == 0 ? 0 : lo - 1;
}

Result<IncomingRange> MappedGraph::incoming(std::uint32_t node) const {
    if (node >= node_count_) index_violation("node", node, node_count_);
    if (const auto* owned = std::get_if<OwnedReverseCsr>(&reverse_)) {
        const std::uint32_t a = owned->offsets[node];
        const std::uint32_t b = owned->offsets[std::size_t(node) + 1];
        return IncomingRange::owned(owned->entries.data() + a, b - a);
    }
    const std::uint64_t base = std::get<MappedReverseCsr>(reverse_).offset;
    const std::uint8_t* offsets = file_.data() + base + 12;
    const std::uint32_t a = read_u32(offsets + 4 * std::uint64_t(node));
    const std::uint32_t b = read_u32(offsets + 4 * (std::uint64_t(node) + 1));
    if (a > b || b > edge_count_)
        return fail(fmt::format("Corrupt graph file: reverse CSR offsets of node {} span {}..{} (the file has {} edges)",
                                node, a, b, edge_count_));
    const std::uint8_t* entries = file_.data() + base + 16 + 4 * std::uint64_t(node_count_) + 8 * std::uint64_t(a);
    for (std::uint32_t k = 0; k < b - a; ++k) {
        const std::uint32_t source = read_u32(entries + 8 * std::uint64_t(k));
        const std::uint32_t edge = read_u32(entries + 8 * std::uint64_t(k) + 4);
        if (source >= node_count_ || edge >= edge_count_)
            return fail(fmt::format(
                "Corrupt graph file: reverse CSR entry {} (incoming to node {}) has source node {} and edge {} "
                "(the file has {} nodes and {} edges)",
                std::uint64_t(a) + k, node, source, edge, node_count_, edge_count_));
    }
    return IncomingRange::mapped(entries, b - a);
}

Result<std::uint32_t> MappedGraph::in_degree(std::uint32_t node) const {
    if (node >= node_count_) index_violation("node", node, node_count_);
    if (const auto* owned = std::get_if<OwnedReverseCsr>(&reverse_))
        return owned->offsets[std::size_t(node) + 1] - owned->offsets[node];
    const std::uint8_t* offsets = file_.data() + std::get<MappedReverseCsr>(reverse_).offset + 12;
    const std::uint32_t a = read_u32(offsets + 4 * std::uint64_t(node));
    const std::uint32_t b = read_u32(offsets + 4 * (std::uint64_t(node) + 1));
    if (a > b || b > edge_count_)
        return fail(fmt::format("Corrupt graph file: reverse CSR offsets of node {} span {}..{} (the file has {} edges)",
                                node, a, b, edge_count_));
    return b - a;
}

Result<std::optional<std::uint32_t>> MappedGraph::incoming_edge_idx_from_source_osm(std::uint32_t node,
                                                                                    std::int64_t source_osm_id) const {
    const IncomingRange entries = QR_TRY(incoming(node));
    for (const IncomingEntry entry : entries)
        if (node_osm_id(entry.source) == source_osm_id) return std::optional<std::uint32_t>(entry.edge);
    return std::optional<std::uint32_t>();
}

bool MappedGraph::in_main_component(std::uint32_t node) const {
    if (node >= node_count_) index_violation("node", node, node_count_);
    if (const auto* mapped = std::get_if<MappedMainComponent>(&main_component_))
        return (file_.data()[mapped->bitset_offset + node / 8] >> (node % 8)) & 1u;
    return std::get<std::vector<std::uint8_t>>(main_component_)[node] != 0;
}

std::uint32_t MappedGraph::main_component_count() const {
    const auto* mapped = std::get_if<MappedMainComponent>(&main_component_);
    if (mapped == nullptr) return owned_component_count_;
    // Eight bytes at a time, then the bytes left, masking bits past the last node.
    const std::uint8_t* bits = file_.data() + mapped->bitset_offset;
    const std::uint64_t full = node_count_ / 8;
    std::uint64_t count = 0;
    std::uint64_t i = 0;
    for (; i + 8 <= full; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bits + i, 8);
        count += std::popcount(word);
    }
    for (; i < full; ++i) count += std::popcount(bits[i]);
    if (node_count_ % 8 != 0) count += std::popcount(std::uint8_t(bits[full] & ((1u << (node_count_ % 8)) - 1)));
    return static_cast<std::uint32_t>(count);
}

bool MappedGraph::is_routable(std::uint32_t node) const {
    if (!in_main_component(node)) return false;
    const auto out = out_degree(node);
    if (!out || *out == 0) return false;
    const auto in = in_degree(node);
    return in && *in > 0;
}

bool MappedGraph::has_restriction_pair(std::uint32_t from_edge, std::uint32_t to_edge) const {
    return std::binary_search(pairs_.begin(), pairs_.end(), RestrictionPair{from_edge, to_edge});
}

bool MappedGraph::has_osm_triple(std::int64_t from, std::int64_t via, std::int64_t to) const {
    return std::binary_search(triples_.begin(), triples_.end(), OsmTriple{from, via, to});
}

}  // namespace quorvel_routing
