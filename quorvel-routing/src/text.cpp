#include "quorvel_routing/platform/text.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace quorvel_routing::text {

namespace {
template <class F>
std::string shortest(F value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    if (ec != std::errc{}) return "NaN";
    return std::string(buf, end);
}
}  // namespace

std::string f64(double value) { return shortest(value); }
std::string f32(float value) { return shortest(value); }

std::string fixed(double value, int decimals) { return fmt::format("{:.{}f}", value, decimals); }

double round_to(double value, int decimals) {
    double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

std::optional<double> parse_f64(std::string_view s) {
    if (s.starts_with('+')) s.remove_prefix(1);
    if (s.empty() || s.starts_with('+') || s.starts_with("-+")) return std::nullopt;
    for (char c : s)
        if (c == 'x' || c == 'X' || c == 'p' || c == 'P') return std::nullopt;
    double value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (end != s.data() + s.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) return std::strtod(std::string(s).c_str(), nullptr);
    if (ec != std::errc{}) return std::nullopt;
    return value;
}

std::string debug_quoted(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) out += fmt::format("\\u{{{:x}}}", c);
                else out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

std::string debug_list(std::span<const std::string> values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        out += debug_quoted(values[i]);
    }
    return out + "]";
}

std::string debug_list(std::span<const std::int64_t> values) {
    return fmt::format("[{}]", fmt::join(values, ", "));
}

}  // namespace quorvel_routing::text
