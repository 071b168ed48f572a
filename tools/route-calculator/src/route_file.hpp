#pragma once
// Serialisation shared by every route and results file: keys in byte order, two-blank indent,
// floats always with a fraction, non-finite numbers as null, no trailing newline, written whole.

#include <nlohmann/json.hpp>

#include <string>

#include "quorvel_routing/platform/error.hpp"

namespace route_calculator {

[[nodiscard]] std::string to_json_text(const nlohmann::json& document);

// Creates or truncates `path` and writes the document in one piece; the error is the operating
// system's message.
[[nodiscard]] quorvel_routing::Result<void> write_json_file(const std::string& path, const nlohmann::json& document);

}  // namespace route_calculator
