// libFuzzer target: opens arbitrary bytes as a graph file and walks every accessor.
// The bytes go into an in-memory file that the reader opens through /proc/self/fd.

#include "graph_walk.hpp"
#include "quorvel_routing/graph.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace {
int memory_file() {
    static const int fd = [] {
        const int f = ::memfd_create("graph-fuzz", 0);
        if (f < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        return f;
    }();
    return fd;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memory_file();
    if (::ftruncate(fd, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) std::abort();
        done += static_cast<std::size_t>(n);
    }
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    auto graph = quorvel_routing::MappedGraph::open(path);
    if (graph) (void)quorvel_routing::testing::walk_graph(*graph, 1024);
    return 0;
}
