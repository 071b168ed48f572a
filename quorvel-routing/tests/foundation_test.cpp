// Error values and their report, the logger's line and filter, and the number forms.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "quorvel_routing/platform/error.hpp"
#include "quorvel_routing/platform/log.hpp"
#include "quorvel_routing/platform/text.hpp"

namespace qr = quorvel_routing;
using qr::log::Level;

TEST(ErrorReport, LayoutForNoneOneAndSeveralCauses) {
    EXPECT_EQ(qr::render_error_report(qr::Error("'local' database not configured")),
              "Error: 'local' database not configured\n");

    qr::Error one = qr::Error("No such file or directory (os error 2)").context("Failed to read config/database.yaml");
    EXPECT_EQ(qr::render_error_report(one),
              "Error: Failed to read config/database.yaml\n"
              "\n"
              "Caused by:\n"
              "    No such file or directory (os error 2)\n");

    qr::Error three = qr::Error("innermost").context("middle").context("outer").context("top");
    EXPECT_EQ(three.causes, (std::vector<std::string>{"outer", "middle", "innermost"}));
    EXPECT_EQ(qr::render_error_report(three),
              "Error: top\n"
              "\n"
              "Caused by:\n"
              "    0: outer\n"
              "    1: middle\n"
              "    2: innermost\n");
}

TEST(ErrorReport, MultiLineCausesLineUpWithTheirText) {
    qr::Error single = qr::Error("first line\nsecond line").context("top");
    EXPECT_EQ(qr::render_error_report(single), "Error: top\n\nCaused by:\n    first line\n    second line\n");
    qr::Error several = qr::Error("a\nb").context("c").context("top");
    EXPECT_EQ(qr::render_error_report(several), "Error: top\n\nCaused by:\n    0: c\n    1: a\n       b\n");
}

namespace {
qr::Result<int> half(int v) {
    if (v % 2) return qr::fail(fmt::format("{} is odd", v));
    return v / 2;
}
qr::Result<int> quarter(int v) {
    int h = QR_TRY(half(v));
    return QR_TRY(half(h));
}
qr::Result<void> check_even(int v) {
    QR_TRY(half(v));
    return {};
}
}  // namespace

TEST(ErrorReport, TryPropagatesTheFirstFailure) {
    EXPECT_EQ(quarter(8).value(), 2);
    EXPECT_EQ(quarter(6).error().message, "3 is odd");
    EXPECT_TRUE(check_even(4).has_value());
    EXPECT_EQ(check_even(5).error().message, "5 is odd");
}

TEST(LogLine, Layout) {
    EXPECT_EQ(qr::log::format_line(Level::Info, "route_calculator", "Loading config", "2026-12-09T23:16:11.123456Z", false),
              "2026-12-09T23:16:11.123456Z  INFO route_calculator: Loading config");
    EXPECT_EQ(qr::log::format_line(Level::Warn, "quorvel_routing::graph", "x", "T", false), "T  WARN quorvel_routing::graph: x");
    EXPECT_EQ(qr::log::format_line(Level::Error, "t", "x", "T", false), "T ERROR t: x");
    std::string coloured = qr::log::format_line(Level::Info, "t", "msg", "T", true);
    EXPECT_NE(coloured.find("\x1b["), std::string::npos);
    EXPECT_TRUE(coloured.ends_with(" msg"));
}

TEST(LogLine, TimestampIsRfc3339UtcWithMicroseconds) {
    std::string ts = qr::log::utc_timestamp_now();
    ASSERT_EQ(ts.size(), 27u) << ts;
    EXPECT_EQ(ts[4], '-');
    EXPECT_EQ(ts[10], 'T');
    EXPECT_EQ(ts[19], '.');
    EXPECT_EQ(ts.back(), 'Z');
}

TEST(LogFilter, DirectiveGrammar) {
    struct Case {
        const char* spec;
        Level level;
        const char* target;
        bool enabled;
    };
    const Case cases[] = {
        {"", Level::Error, "route_calculator", true},
        {"", Level::Warn, "route_calculator", false},
        {"info", Level::Info, "quorvel_routing::graph", true},
        {"info", Level::Debug, "quorvel_routing::graph", false},
        {"INFO", Level::Info, "x", true},
        {"warn", Level::Info, "x", false},
        {"warn", Level::Warn, "x", true},
        {"warn,quorvel_routing::graph=info", Level::Info, "quorvel_routing::graph", true},
        {"warn,quorvel_routing::graph=info", Level::Info, "quorvel_routing::graph::scc", true},
        {"warn,quorvel_routing::graph=info", Level::Info, "quorvel_routing::graphx", false},
        {"warn,quorvel_routing::graph=info", Level::Info, "quorvel_routing", false},
        {"warn,quorvel_routing::graph=info", Level::Warn, "route_calculator", true},
        // With only a target directive, other targets show nothing at all.
        {"route_calculator=info", Level::Error, "quorvel_routing::graph", false},
        {"route_calculator=info", Level::Info, "route_calculator::analysis", true},
        {"info,quorvel_routing=off", Level::Error, "quorvel_routing::database", false},
        // Nothing valid: errors only.
        {"bogus", Level::Error, "x", true},
        {"bogus", Level::Info, "x", false},
        {"info,foo=loud", Level::Info, "foo", true},
        {"trace", Level::Debug, "x", true},
    };
    for (const auto& c : cases) {
        auto filter = qr::log::parse_filter(c.spec);
        EXPECT_EQ(filter.enabled(c.level, c.target), c.enabled) << "filter '" << c.spec << "' target " << c.target;
    }
}

TEST(LogFilter, EachMalformedDirectiveIsRejectedOnce) {
    std::vector<std::string> rejected;
    auto filter = qr::log::parse_filter("info,=warn,foo=loud,,  debug ,a b=info", &rejected);
    EXPECT_EQ(rejected, (std::vector<std::string>{"=warn", "foo=loud", "a b=info"}));
    EXPECT_TRUE(filter.enabled(Level::Debug, "anything"));
}

TEST(NumberForms, ShortestWithoutExponent) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {47.0, "47"}, {0.1, "0.1"}, {1e21, "1000000000000000000000"}, {-0.5, "-0.5"}, {1e-7, "0.0000001"},
        {42.5063, "42.5063"}, {0.0, "0"}, {-0.0, "-0"}, {123456.789, "123456.789"},
        {std::numeric_limits<double>::infinity(), "inf"}, {-std::numeric_limits<double>::infinity(), "-inf"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
    };
    for (const auto& c : cases) EXPECT_EQ(qr::text::f64(c.value), c.text);
    EXPECT_EQ(qr::text::f32(22.0f), "22");
    EXPECT_EQ(qr::text::f32(0.1f), "0.1");
    EXPECT_EQ(qr::text::f32(431.2f), "431.2");
    EXPECT_EQ(qr::text::f32(0.65f), "0.65");
}

TEST(NumberForms, FixedDecimalsAndRounding) {
    EXPECT_EQ(qr::text::fixed(0.15, 1), "0.1");  // 0.1499999...
    EXPECT_EQ(qr::text::fixed(12.3456, 2), "12.35");
    EXPECT_EQ(qr::text::round_to(2.5, 0), 3.0);
    EXPECT_EQ(qr::text::round_to(-2.5, 0), -3.0);
    EXPECT_EQ(qr::text::round_to(1.2345, 2), 1.23);
}

TEST(NumberForms, DebugLists) {
    std::vector<std::string> codes{"CH", "AT"};
    EXPECT_EQ(qr::text::debug_list(std::span<const std::string>(codes)), R"(["CH", "AT"])");
    std::vector<std::string> odd{" AT", "a\"b\\"};
    EXPECT_EQ(qr::text::debug_list(std::span<const std::string>(odd)), R"([" AT", "a\"b\\"])");
    std::vector<std::int64_t> ids{1, 2, 3};
    EXPECT_EQ(qr::text::debug_list(std::span<const std::int64_t>(ids)), "[1, 2, 3]");
    EXPECT_EQ(qr::text::debug_list(std::span<const std::int64_t>()), "[]");
}

TEST(NumberForms, DecimalFloatGrammar) {
    struct Case {
        const char* word;
        std::optional<double> value;
    };
    const Case accepted[] = {{"47.37", 47.37}, {"-0.5", -0.5}, {"+7", 7.0}, {"1e-3", 0.001}, {".5", 0.5},
                             {"5.", 5.0},      {"1e400", std::numeric_limits<double>::infinity()}};
    for (const auto& c : accepted) EXPECT_EQ(qr::text::parse_f64(c.word), c.value) << c.word;
    for (const char* word : {"inf", "Infinity", "-inf"}) EXPECT_TRUE(std::isinf(*qr::text::parse_f64(word))) << word;
    EXPECT_TRUE(std::isnan(*qr::text::parse_f64("NaN")));
    for (const char* word : {"", "+", "north", "0x10", " 5", "5 ", "1,5", "++1", "-+1", "1e", "--1"})
        EXPECT_FALSE(qr::text::parse_f64(word).has_value()) << "'" << word << "'";
}
