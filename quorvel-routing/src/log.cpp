#include "quorvel_routing/platform/log.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace quorvel_routing::log {

namespace {

struct State {
    Filter filter;
    bool colour = false;
    std::mutex mutex;
};

State& state() {
    static State s;
    return s;
}

// A level name in any letter case; `off` yields no level at all.
bool parse_level(std::string_view word, std::optional<Level>& level) {
    std::string lower(word);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    static constexpr std::pair<std::string_view, std::optional<Level>> kNames[] = {
        {"error", Level::Error}, {"warn", Level::Warn},   {"info", Level::Info},
        {"debug", Level::Debug}, {"trace", Level::Trace}, {"off", std::nullopt},
    };
    for (const auto& [name, value] : kNames)
        if (lower == name) {
            level = value;
            return true;
        }
    return false;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool valid_target(std::string_view target) {
    if (target.empty()) return false;
    return std::all_of(target.begin(), target.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_' || c == ':' || c == '-' || c == '.';
    });
}

// A directive's target matches the event's target itself and its children at "::" boundaries.
bool target_matches(std::string_view directive, std::string_view target) {
    if (directive.empty()) return true;
    if (!target.starts_with(directive)) return false;
    return target.size() == directive.size() || target.substr(directive.size()).starts_with("::");
}

const char* level_name(Level level) {
    switch (level) {
        case Level::Error: return "ERROR";
        case Level::Warn: return "WARN";
        case Level::Info: return "INFO";
        case Level::Debug: return "DEBUG";
        case Level::Trace: return "TRACE";
    }
    return "";
}

const char* level_colour(Level level) {
    switch (level) {
        case Level::Error: return "\x1b[31m";
        case Level::Warn: return "\x1b[33m";
        case Level::Info: return "\x1b[32m";
        case Level::Debug: return "\x1b[34m";
        case Level::Trace: return "\x1b[35m";
    }
    return "";
}

}  // namespace

bool Filter::enabled(Level level, std::string_view target) const {
    if (directives.empty()) return level == Level::Error;
    // The most specific (longest) matching target decides; later directives win ties.
    const Directive* best = nullptr;
    for (const auto& d : directives) {
        if (!target_matches(d.target, target)) continue;
        if (best == nullptr || d.target.size() >= best->target.size()) best = &d;
    }
    if (best == nullptr || !best->level) return false;
    return static_cast<int>(level) <= static_cast<int>(*best->level);
}

Filter parse_filter(std::string_view spec, std::vector<std::string>* rejected) {
    Filter filter;
    while (!spec.empty()) {
        size_t comma = spec.find(',');
        std::string_view raw = spec.substr(0, comma);
        spec = comma == std::string_view::npos ? std::string_view{} : spec.substr(comma + 1);
        std::string_view word = trim(raw);
        if (word.empty()) continue;
        size_t eq = word.find('=');
        std::optional<Level> level;
        if (eq == std::string_view::npos) {
            if (parse_level(word, level)) {
                filter.directives.push_back({"", level});
                continue;
            }
        } else {
            std::string_view target = trim(word.substr(0, eq));
            if (valid_target(target) && parse_level(trim(word.substr(eq + 1)), level)) {
                filter.directives.push_back({std::string(target), level});
                continue;
            }
        }
        if (rejected) rejected->emplace_back(word);
    }
    return filter;
}

void install(Filter filter, bool colour) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.filter = std::move(filter);
    s.colour = colour;
}

void init_from_env() {
    const char* spec = std::getenv("ROUTE_CALCULATOR_LOG");
    const char* no_colour = std::getenv("NO_COLOR");
    std::vector<std::string> rejected;
    Filter filter = parse_filter(spec ? spec : "", &rejected);
    for (const auto& word : rejected)
        std::fprintf(stderr, "ignoring `%s`: invalid filter directive\n", word.c_str());
    install(std::move(filter), !(no_colour && *no_colour));
}

bool enabled(Level level, std::string_view target) { return state().filter.enabled(level, target); }

std::string utc_timestamp_now() {
    auto now = std::chrono::system_clock::now();
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(micros / 1'000'000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec, micros % 1'000'000);
}

std::string format_line(Level level, std::string_view target, std::string_view message, std::string_view timestamp,
                        bool colour) {
    if (!colour) return fmt::format("{} {:>5} {}: {}", timestamp, level_name(level), target, message);
    return fmt::format("\x1b[2m{}\x1b[0m {}{:>5}\x1b[0m \x1b[2m{}:\x1b[0m {}", timestamp, level_colour(level),
                       level_name(level), target, message);
}

void write(Level level, std::string_view target, std::string_view message) {
    auto& s = state();
    std::string line = format_line(level, target, message, utc_timestamp_now(), s.colour);
    line += '\n';
    std::lock_guard lock(s.mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace quorvel_routing::log
