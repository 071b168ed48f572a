#include "route_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace route_calculator {

std::string to_json_text(const nlohmann::json& document) {
    // nlohmann's object is a std::map (keys in byte order); doubles print in their shortest
    // round-trip form with ".0" on integral values, and NaN/inf as null.
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

quorvel_routing::Result<void> write_json_file(const std::string& path, const nlohmann::json& document) {
    std::string text = to_json_text(document);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return quorvel_routing::fail(quorvel_routing::os_error_message(errno));
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return quorvel_routing::fail(quorvel_routing::os_error_message(err));
        }
        written += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) return quorvel_routing::fail(quorvel_routing::os_error_message(errno));
    return {};
}

}  // namespace route_calculator
