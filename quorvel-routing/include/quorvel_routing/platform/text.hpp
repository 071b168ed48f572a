#pragma once
// Number forms shared by every report, log line and file.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorvel_routing::text {

// The shortest decimal text that reads back to the same value, never in exponent form:
// 47.0 -> "47", 0.1 -> "0.1", 1e21 -> "1000000000000000000000", 22.0f -> "22".
// Non-finite values print as "inf", "-inf" and "NaN".
[[nodiscard]] std::string f64(double value);
[[nodiscard]] std::string f32(float value);

// Fixed number of decimals, rounding the exact binary value ("{:.1f}").
[[nodiscard]] std::string fixed(double value, int decimals);

// Round half away from zero to `decimals` places: round(x * 10^n) / 10^n.
[[nodiscard]] double round_to(double value, int decimals);

// The standard decimal float grammar: an optional sign, digits with an optional fraction and
// exponent, or inf / infinity / nan in any letter case ("47.37", "-0.5", "+1e-3", "NaN").
// Hexadecimal forms and surrounding blanks are rejected; values beyond the range saturate.
[[nodiscard]] std::optional<double> parse_f64(std::string_view word);

// Debug forms of lists: ["CH", "AT"] (strings quoted and escaped) and [1, 2, 3].
[[nodiscard]] std::string debug_quoted(std::string_view s);
[[nodiscard]] std::string debug_list(std::span<const std::string> values);
[[nodiscard]] std::string debug_list(std::span<const std::int64_t> values);

}  // namespace quorvel_routing::text
