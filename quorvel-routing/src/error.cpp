#include "quorvel_routing/platform/error.hpp"

#include <fmt/format.h>

#include <cstring>

namespace quorvel_routing {

Error Error::context(std::string outer) const& {
    Error copy = *this;
    return std::move(copy).context(std::move(outer));
}

Error Error::context(std::string outer) && {
    std::vector<std::string> chain;
    chain.reserve(causes.size() + 1);
    chain.push_back(std::move(message));
    for (auto& cause : causes) chain.push_back(std::move(cause));
    return Error(std::move(outer), std::move(chain));
}

std::string os_error_message(int errnum) { return fmt::format("{} (os error {})", std::strerror(errnum), errnum); }

std::vector<std::string> Error::chain() const {
    std::vector<std::string> all;
    all.push_back(message);
    all.insert(all.end(), causes.begin(), causes.end());
    return all;
}

namespace {
// Continuation lines of a multi-line cause line up with the first line's text.
void append_indented(std::string& out, const std::string& prefix, const std::string& text, size_t indent) {
    out += prefix;
    for (char c : text) {
        out += c;
        if (c == '\n') out.append(indent, ' ');
    }
    out += '\n';
}
}  // namespace

std::string render_error_report(const Error& error) {
    std::string out;
    append_indented(out, "Error: ", error.message, 0);
    if (error.causes.empty()) return out;
    out += "\nCaused by:\n";
    if (error.causes.size() == 1) {
        append_indented(out, "    ", error.causes.front(), 4);
        return out;
    }
    for (size_t i = 0; i < error.causes.size(); ++i)
        append_indented(out, fmt::format("{:>5}: ", i), error.causes[i], 7);
    return out;
}

}  // namespace quorvel_routing
