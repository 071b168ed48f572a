#pragma once
// The process-wide logger: one line per event on standard output,
// "<RFC 3339 UTC time> <level, right-aligned in 5> <target>: <message>".
// The filter is read once from ROUTE_CALCULATOR_LOG; unset means ERROR events only.

#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel_routing::log {

enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// One filter directive: a target prefix (empty for all targets) and the most verbose level
// that passes (nullopt for "off").
struct Directive {
    std::string target;
    std::optional<Level> level;
};

struct Filter {
    std::vector<Directive> directives;  // empty: ERROR only
    [[nodiscard]] bool enabled(Level level, std::string_view target) const;
};

// Parses a directive list; every malformed directive is skipped and named in `rejected`.
Filter parse_filter(std::string_view spec, std::vector<std::string>* rejected = nullptr);

// Reads ROUTE_CALCULATOR_LOG and NO_COLOR and installs the logger; notices about malformed
// directives go to standard error.
void init_from_env();
// Installs an explicit filter (tests and tools that embed the library).
void install(Filter filter, bool colour);

[[nodiscard]] bool enabled(Level level, std::string_view target);
void write(Level level, std::string_view target, std::string_view message);

// The line as it is written, without the trailing newline; `timestamp` is the RFC 3339 text.
[[nodiscard]] std::string format_line(Level level, std::string_view target, std::string_view message,
                                      std::string_view timestamp, bool colour);
[[nodiscard]] std::string utc_timestamp_now();

template <class... Args>
void event(Level level, std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
    if (enabled(level, target)) write(level, target, fmt::format(f, std::forward<Args>(args)...));
}
template <class... Args>
void error(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
    event(Level::Error, target, f, std::forward<Args>(args)...);
}
template <class... Args>
void warn(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
    event(Level::Warn, target, f, std::forward<Args>(args)...);
}
template <class... Args>
void info(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
    event(Level::Info, target, f, std::forward<Args>(args)...);
}
template <class... Args>
void debug(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
    event(Level::Debug, target, f, std::forward<Args>(args)...);
}

}  // namespace quorvel_routing::log
