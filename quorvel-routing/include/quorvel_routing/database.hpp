#pragma once
// The database connection of a run and the queries the commands send over it.

#include <string>
#include <string_view>
#include <vector>

#include "quorvel_routing/config.hpp"
#include "quorvel_routing/platform/error.hpp"
#include "quorvel_routing/platform/pg.hpp"

namespace quorvel_routing {

// The one client connection of a run; passed by reference to every query function.
using DatabaseClient = pg::Connection;

// Opens the connection to `target` (TLS off). Errors carry the context
// "Failed to connect to database at {host}:{port}" with the client's error as the cause.
// When a later statement finds the connection broken, "Database connection error: {}" is
// written once to standard error; that statement and every later one fail.
Result<DatabaseClient> connect(const DatabaseConnection& target);

struct ResolvedAddress {
    double latitude = 0.0;
    double longitude = 0.0;
    std::string label;
};

// Finds the best-matching row of the `addresses` view for a free-text search: every word of
// the text is looked for in every text column, each word scores, the best score wins.
// Errors: "Empty address query" (nothing is sent), "Failed to resolve address: '{}'" with the
// client's error as cause, "No match found for address: '{}'".
Result<ResolvedAddress> resolve_address(std::string_view query, DatabaseClient& client);

// The pieces of resolve_address, for tests and diagnostics.
namespace address_search {

// The text split at Unicode white space, empty pieces dropped.
[[nodiscard]] std::vector<std::string> tokens(std::string_view text);

// Doubles every single quote; with `standard_conforming_strings` off the server reads
// backslashes in literals as escapes, so those are doubled as well.
[[nodiscard]] std::string escape(std::string_view token, bool standard_conforming_strings = true);

// Whether an escaped token is name-like: neither a 32-bit signed integer nor a street word.
[[nodiscard]] bool is_name_like(std::string_view token);

// The whole SELECT for already escaped tokens (at least one).
[[nodiscard]] std::string build_sql(const std::vector<std::string>& escaped_tokens);

// The label of a matched row (text columns already COALESCEd to "").
struct MatchedRow {
    double lat = 0.0;
    double lon = 0.0;
    std::string name, street, housenumber, city, postcode, category, brand, operator_name;
};
[[nodiscard]] std::string label(const MatchedRow& row);

}  // namespace address_search

}  // namespace quorvel_routing
