// Reverse adjacency and main strongly connected component of a mapped graph file.

#include "graph_internal.hpp"
#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/platform/log.hpp"

#include <fmt/format.h>

#include <chrono>

namespace quorvel_routing {

using graph_detail::read_u32;

namespace {
constexpr std::string_view kTarget = "quorvel_routing::graph";

// Forward CSR read straight from the bytes, every stored index checked. The caller guarantees
// that the node and edge sections lie within `bytes` (open checks base_file_end).
struct MappedForward {
    const std::uint8_t* data;
    std::uint64_t edge_section_offset;
    std::uint32_t node_count;
    std::uint32_t edge_count;
    std::uint64_t node_record_size;
    std::uint64_t edge_record_size;

    std::uint32_t first_edge(std::uint32_t node) const {
        return read_u32(data + graph_format::kHeaderSize + std::uint64_t(node) * node_record_size + 8);
    }
    Result<EdgeRange> out_range(std::uint32_t node) const {
        const std::uint32_t begin = first_edge(node);
        const std::uint32_t end = node + 1 < node_count ? first_edge(node + 1) : edge_count;
        if (begin > end || end > edge_count)
            return fail(graph_detail::corrupt_out_range(node, begin, end, edge_count));
        return EdgeRange{begin, end};
    }
    Result<std::uint32_t> target(std::uint32_t edge) const {
        const std::uint32_t t = read_u32(data + edge_section_offset + std::uint64_t(edge) * edge_record_size);
        if (t >= node_count) return fail(graph_detail::corrupt_target(edge, t, node_count));
        return t;
    }
};

bool forward_fits(std::span<const std::uint8_t> bytes, std::uint64_t edge_section_offset, std::uint32_t node_count,
                  std::uint32_t edge_count, std::uint64_t node_record_size, std::uint64_t edge_record_size) {
    const std::uint64_t nodes_end = graph_format::kHeaderSize + std::uint64_t(node_count) * node_record_size;
    const std::uint64_t edges_end = edge_section_offset + std::uint64_t(edge_count) * edge_record_size;
    return nodes_end <= bytes.size() && edges_end <= bytes.size() && edge_section_offset <= edges_end;
}
}  // namespace

Result<OwnedReverseCsr> build_reverse_adjacency_from_mmap(std::span<const std::uint8_t> bytes,
                                                          std::uint64_t edge_section_offset, std::uint32_t node_count,
                                                          std::uint32_t edge_count, std::uint64_t node_record_size,
                                                          std::uint64_t edge_record_size) {
    if (!forward_fits(bytes, edge_section_offset, node_count, edge_count, node_record_size, edge_record_size))
        return fail("Graph file sections lie outside the mapped bytes");
    const MappedForward fwd{bytes.data(), edge_section_offset, node_count, edge_count, node_record_size,
                            edge_record_size};
    return graph_detail::build_reverse(
        node_count, edge_count, [&](std::uint32_t u) { return fwd.out_range(u); },
        [&](std::uint32_t e) { return fwd.target(e); });
}

Result<OwnedMainComponent> compute_main_component_from_mmap(std::span<const std::uint8_t> bytes,
                                                            std::uint64_t edge_section_offset,
                                                            std::uint32_t node_count, std::uint32_t edge_count,
                                                            std::uint64_t node_record_size,
                                                            std::uint64_t edge_record_size, const ReverseCsr& reverse) {
    if (!forward_fits(bytes, edge_section_offset, node_count, edge_count, node_record_size, edge_record_size))
        return fail("Graph file sections lie outside the mapped bytes");
    log::info(kTarget, "Computing main strongly connected component...");
    const auto started = std::chrono::steady_clock::now();
    const MappedForward fwd{bytes.data(), edge_section_offset, node_count, edge_count, node_record_size,
                            edge_record_size};

    // Incoming sources of v from either form of the reverse adjacency; mapped entries are checked
    // here, since open validates only the section's header.
    auto incoming = [&](std::uint32_t v, auto&& visit) -> Result<void> {
        if (const auto* owned = std::get_if<OwnedReverseCsr>(&reverse)) {
            for (std::uint32_t k = owned->offsets[v]; k < owned->offsets[std::size_t(v) + 1]; ++k)
                visit(owned->entries[k].source);
            return {};
        }
        const std::uint64_t base = std::get<MappedReverseCsr>(reverse).offset;
        if (!graph_detail::fits(base, graph_format::reverse_csr_size(node_count, edge_count), bytes.size()))
            return fail("Graph file reverse CSR section lies outside the mapped bytes");
        const std::uint8_t* offsets = bytes.data() + base + 12;
        const std::uint32_t a = read_u32(offsets + 4 * std::uint64_t(v));
        const std::uint32_t b = read_u32(offsets + 4 * (std::uint64_t(v) + 1));
        if (a > b || b > edge_count)
            return fail(fmt::format(
                "Corrupt graph file: reverse CSR offsets of node {} span {}..{} (the file has {} edges)", v, a, b,
                edge_count));
        const std::uint8_t* entries = bytes.data() + base + 16 + 4 * std::uint64_t(node_count);
        for (std::uint32_t k = a; k < b; ++k) {
            const std::uint32_t source = read_u32(entries + 8 * std::uint64_t(k));
            const std::uint32_t edge = read_u32(entries + 8 * std::uint64_t(k) + 4);
            if (source >= node_count || edge >= edge_count)
                return fail(fmt::format(
                    "Corrupt graph file: reverse CSR entry {} (incoming to node {}) has source node {} and edge {} "
                    "(the file has {} nodes and {} edges)",
                    k, v, source, edge, node_count, edge_count));
            visit(source);
        }
        return {};
    };

    auto scc = QR_TRY(graph_detail::seed_component(
        node_count, [&](std::uint32_t u) { return fwd.out_range(u); },
        [&](std::uint32_t e) { return fwd.target(e); }, incoming));

    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    const double pct = node_count == 0 ? 0.0 : double(scc.count) / double(node_count) * 100.0;
    log::info(kTarget, "Main SCC: {} nodes ({:.1f}%), fwd-reach={}, bwd-reach={}, computed in {:.1f}ms", scc.count,
              pct, scc.fwd_reach, scc.bwd_reach, ms);
    return OwnedMainComponent{std::move(scc.member), scc.count};
}

}  // namespace quorvel_routing
