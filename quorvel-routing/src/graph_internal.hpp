#pragma once
// Helpers shared by the graph reader and our graph writer: byte access, saturating layout
// arithmetic and the two derived-structure algorithms, written over accessor callbacks so the
// reader runs them on mapped bytes (checking every index) and the writer on its own arrays.

#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/platform/error.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace quorvel_routing::graph_detail {

inline std::uint16_t read_u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t read_u32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
inline std::uint64_t read_u64(const std::uint8_t* p) {
    return std::uint64_t(read_u32(p)) | std::uint64_t(read_u32(p + 4)) << 32;
}
inline std::int64_t read_i64(const std::uint8_t* p) { return static_cast<std::int64_t>(read_u64(p)); }
inline float read_f32(const std::uint8_t* p) {
    const std::uint32_t bits = read_u32(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline void put_u16(std::uint8_t* p, std::uint16_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
inline void put_u32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
inline void put_u64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
inline void put_f32(std::uint8_t* p, float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    put_u32(p, bits);
}

// Saturating arithmetic: a layout that does not fit 64 bits can never fit a file either.
inline std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t s = a + b;
    return s < a ? std::numeric_limits<std::uint64_t>::max() : s;
}
inline std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a)
        return std::numeric_limits<std::uint64_t>::max();
    return a * b;
}
// [offset, offset + size) lies within a file of `len` bytes.
inline bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t len) {
    return offset <= len && size <= len - offset;
}

// Error texts for corrupt records found after open.
inline Error corrupt_out_range(std::uint32_t node, std::uint32_t begin, std::uint32_t end,
                               std::uint32_t edge_count) {
    return Error(fmt::format("Corrupt graph file: node {} has out-edge range {}..{} (the file has {} edges)",
                             node, begin, end, edge_count));
}
inline Error corrupt_target(std::uint32_t edge, std::uint32_t target, std::uint32_t node_count) {
    return Error(fmt::format("Corrupt graph file: edge {} has target node {} (the file has {} nodes)", edge,
                             target, node_count));
}

struct SccResult {
    std::vector<std::uint8_t> member;
    std::uint32_t count = 0;
    std::uint32_t fwd_reach = 0;
    std::uint32_t bwd_reach = 0;
};

// Reverse adjacency from a forward CSR. `out_range(u)` -> Result<EdgeRange>, `target(e)` ->
// Result<u32> (already checked < N). Entries of a node come ordered by source, then edge.
template <class OutRangeFn, class TargetFn>
Result<OwnedReverseCsr> build_reverse(std::uint32_t node_count, std::uint32_t edge_count,
                                      OutRangeFn&& out_range, TargetFn&& target) {
    OwnedReverseCsr rev;
    rev.offsets.assign(std::size_t(node_count) + 1, 0);
    // Count from the node ranges, so that the fill pass below visits exactly the same edges.
    for (std::uint32_t u = 0; u < node_count; ++u) {
        const EdgeRange range = QR_TRY(out_range(u));
        for (std::uint32_t e : range) {
            const std::uint32_t v = QR_TRY(target(e));
            ++rev.offsets[std::size_t(v) + 1];
        }
    }
    for (std::uint32_t v = 0; v < node_count; ++v) rev.offsets[v + 1] += rev.offsets[v];
    rev.entries.resize(rev.offsets[node_count]);
    std::vector<std::uint32_t> cursor(rev.offsets.begin(), rev.offsets.end() - 1);
    for (std::uint32_t u = 0; u < node_count; ++u) {
        const EdgeRange range = QR_TRY(out_range(u));
        for (std::uint32_t e : range) {
            const std::uint32_t v = QR_TRY(target(e));
            rev.entries[cursor[v]++] = IncomingEntry{u, e};
        }
    }
    (void)edge_count;
    return rev;
}

// The strongly connected component of the seed node. `incoming(v, visit)` calls visit(source)
// for each incoming entry of v and returns Result<void>.
template <class OutRangeFn, class TargetFn, class IncomingFn>
Result<SccResult> seed_component(std::uint32_t node_count, OutRangeFn&& out_range, TargetFn&& target,
                                 IncomingFn&& incoming) {
    SccResult result;
    result.member.assign(node_count, 0);
    if (node_count == 0) return result;

    std::uint32_t seed = 0;
    std::uint32_t seed_degree = 0;
    for (std::uint32_t n = 0; n < node_count; ++n) {
        const EdgeRange range = QR_TRY(out_range(n));
        if (range.size() >= seed_degree) {
            seed = n;
            seed_degree = range.size();
        }
    }

    std::vector<std::uint8_t> forward(node_count, 0);
    std::vector<std::uint32_t> queue;
    queue.reserve(1024);
    queue.push_back(seed);
    forward[seed] = 1;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const EdgeRange range = QR_TRY(out_range(queue[head]));
        for (std::uint32_t e : range) {
            const std::uint32_t v = QR_TRY(target(e));
            if (!forward[v]) {
                forward[v] = 1;
                queue.push_back(v);
            }
        }
    }
    result.fwd_reach = static_cast<std::uint32_t>(queue.size());

    std::vector<std::uint8_t>& backward = result.member;
    queue.clear();
    queue.push_back(seed);
    backward[seed] = 1;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        QR_TRY(incoming(queue[head], [&](std::uint32_t source) {
            if (!backward[source]) {
                backward[source] = 1;
                queue.push_back(source);
            }
        }));
    }
    result.bwd_reach = static_cast<std::uint32_t>(queue.size());

    for (std::uint32_t n = 0; n < node_count; ++n) {
        backward[n] = backward[n] & forward[n];
        result.count += backward[n];
    }
    return result;
}

}  // namespace quorvel_routing::graph_detail
