// Graph file benchmark: writes a synthetic road lattice with our writer, then measures
//  - MappedGraph::open with the embedded reverse adjacency and component (warm page cache),
//  - open of the same file with its reverse CSR offset set to 0 (both structures built),
//  - find_nearest per query over random points inside the grid.
//
// Usage: graph_file_bench [--nodes N] [--edges E] [--queries Q] [--path FILE] [--keep]
// Defaults: 5,000,000 nodes, 12,000,000 edges, 10,000 queries, /tmp/qr-graph-bench.bin.
// The file is deleted at the end unless --keep is given.

#include "quorvel_routing/graph.hpp"
#include "quorvel_routing/graph_writer.hpp"
#include "quorvel_routing/platform/error.hpp"
#include "quorvel_routing/platform/text.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace quorvel_routing;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A lattice of rows x cols nodes about 100 m apart: every row is a two-way street, and every
// fifth column a two-way cross street, trimmed or extended to the requested edge count.
GraphDescription lattice(std::uint32_t node_target, std::uint64_t edge_target) {
    GraphDescription g;
    g.version = 7;
    g.cell_size_deg = 0.01f;
    const auto cols = static_cast<std::uint32_t>(std::sqrt(double(node_target) * 1.25));
    const std::uint32_t rows = (node_target + cols - 1) / cols;
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<float> jitter(-0.0003f, 0.0003f);
    g.nodes.reserve(node_target);
    for (std::uint32_t i = 0; i < node_target; ++i) {
        const std::uint32_t r = i / cols;
        const std::uint32_t c = i % cols;
        g.nodes.push_back(GraphWriterNode{45.0f + float(r) * 0.001f + jitter(rng), 5.0f + float(c) * 0.0014f + jitter(rng),
                                          std::int64_t(1000000) + i});
    }
    g.edges.reserve(edge_target);
    const auto add = [&](std::uint32_t a, std::uint32_t b) {
        if (g.edges.size() >= edge_target) return;
        GraphWriterEdge e;
        e.from = a;
        e.to = b;
        e.length_m = 60.0f + float(rng() % 800) / 10.0f;
        e.road_class = static_cast<std::uint8_t>(rng() % 14);
        e.maxspeed_kmh = static_cast<std::uint8_t>(30 + 10 * (rng() % 10));
        e.country = 5;
        e.has_elevation = true;
        e.elevation_from_m = 400.0f;
        e.elevation_to_m = 410.0f;
        g.edges.push_back(e);
    };
    for (std::uint32_t r = 0; r < rows; ++r)
        for (std::uint32_t c = 0; c + 1 < cols; ++c) {
            const std::uint32_t a = r * cols + c;
            if (a + 1 >= node_target) break;
            add(a, a + 1);
            add(a + 1, a);
        }
    for (std::uint32_t stride : {5u, 3u, 2u, 1u})
        for (std::uint32_t c = 0; c < cols && g.edges.size() < edge_target; c += stride)
            for (std::uint32_t r = 0; r + 1 < rows; ++r) {
                const std::uint32_t a = r * cols + c;
                const std::uint32_t b = a + cols;
                if (b >= node_target) break;
                if (stride != 5 && c % 5 == 0) break;  // already a cross street
                add(a, b);
                add(b, a);
            }
    return g;
}

void patch_u64(const std::string& path, std::uint64_t offset, std::uint64_t value) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    std::uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(value >> (8 * i));
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(b), 8);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint32_t nodes = 5'000'000;
    std::uint64_t edges = 12'000'000;
    int queries = 10'000;
    std::string path = "/tmp/qr-graph-bench.bin";
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--nodes") nodes = static_cast<std::uint32_t>(std::stoul(next()));
        else if (a == "--edges") edges = std::stoull(next());
        else if (a == "--queries") queries = std::stoi(next());
        else if (a == "--path") path = next();
        else if (a == "--keep") keep = true;
        else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 2;
        }
    }

    std::uint64_t rcsr_offset = 0;
    std::uint64_t file_size = 0;
    float min_lat = 0, min_lon = 0, cell = 0;
    std::uint32_t rows = 0, cols = 0;
    {
        auto start = Clock::now();
        GraphDescription g = lattice(nodes, edges);
        const double build_ms = ms_since(start);
        start = Clock::now();
        auto layout = write_graph_file(path, g);
        if (!layout) {
            std::fputs(render_error_report(layout.error()).c_str(), stderr);
            return 1;
        }
        fmt::print("synthetic graph: {} nodes, {} edges, {}x{} grid; described in {:.0f} ms, written in {:.0f} ms, "
                   "{:.1f} MB\n",
                   layout->node_count, layout->edge_count, layout->grid_rows, layout->grid_cols, build_ms,
                   ms_since(start), double(layout->file_size) / 1048576.0);
        rcsr_offset = layout->reverse_csr_offset;
        file_size = layout->file_size;
        min_lat = layout->min_lat;
        min_lon = layout->min_lon;
        cell = layout->cell_size_deg;
        rows = layout->grid_rows;
        cols = layout->grid_cols;
    }  // the description is freed before measuring

    // Warm the page cache, then time opens of the file with its embedded sections.
    {
        std::ifstream warm(path, std::ios::binary);
        std::vector<char> buf(1 << 20);
        while (warm.read(buf.data(), std::streamsize(buf.size())) || warm.gcount() > 0) {}
    }
    std::vector<double> embedded_ms;
    for (int i = 0; i < 21; ++i) {
        const auto start = Clock::now();
        auto g = MappedGraph::open(path);
        const double t = ms_since(start);
        if (!g || !g->reverse_csr_is_mapped() || !g->main_component_is_mapped()) {
            std::fprintf(stderr, "embedded sections not used\n");
            return 1;
        }
        if (i > 0) embedded_ms.push_back(t);
    }

    // The same file without the embedded sections: the reverse adjacency and the component are built.
    patch_u64(path, 56, 0);
    std::vector<double> built_ms;
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        auto g = MappedGraph::open(path);
        built_ms.push_back(ms_since(start));
        if (!g || g->reverse_csr_is_mapped()) {
            std::fprintf(stderr, "open without embedded sections failed\n");
            return 1;
        }
    }
    patch_u64(path, 56, rcsr_offset);

    auto g = MappedGraph::open(path);
    if (!g) return 1;
    // What the INFO log line of the mapped component costs on top (it counts the bitset).
    std::vector<double> count_ms;
    std::uint32_t in_component = 0;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        in_component = g->main_component_count();
        count_ms.push_back(ms_since(start));
    }
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> lat(min_lat, double(min_lat) + double(rows) * cell);
    std::uniform_real_distribution<double> lon(min_lon, double(min_lon) + double(cols) * cell);
    const auto routable = [&](std::uint32_t v) { return g->is_routable(v); };
    std::vector<double> nearest_us;
    nearest_us.reserve(queries);
    std::uint64_t found = 0;
    for (int q = 0; q < queries; ++q) {
        const double a = lat(rng);
        const double b = lon(rng);
        const auto start = Clock::now();
        auto r = g->find_nearest(a, b, 5000.0, routable);
        nearest_us.push_back(ms_since(start) * 1000.0);
        if (r && r->has_value()) ++found;
    }
    std::vector<double> sorted = nearest_us;
    std::sort(sorted.begin(), sorted.end());

    fmt::print("open with embedded RCSR+MCCM (warm, 20 runs): median {:.3f} ms, min {:.3f} ms, max {:.3f} ms\n",
               median(embedded_ms), *std::min_element(embedded_ms.begin(), embedded_ms.end()),
               *std::max_element(embedded_ms.begin(), embedded_ms.end()));
    fmt::print("counting the mapped component bitset (INFO log line only): median {:.3f} ms, {} nodes\n",
               median(count_ms), in_component);
    fmt::print("open without embedded sections (builds both, 3 runs): median {:.0f} ms\n", median(built_ms));
    fmt::print("find_nearest (routable test, max 5000 m, {} random points): median {:.2f} us, p99 {:.2f} us, "
               "{} found\n",
               queries, median(nearest_us), sorted[std::size_t(double(sorted.size()) * 0.99)], found);
    fmt::print("file size {} bytes\n", file_size);

    if (!keep) std::filesystem::remove(path);
    return 0;
}
