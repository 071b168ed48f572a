#pragma once
// The database connection of a run and the queries the commands send over it.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel_routing/config.hpp"
#include "quorvel_routing/edge_data.hpp"
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

// ---- the road graph in a bounding box --------------------------------------------------------

// (minimum longitude, minimum latitude, maximum longitude, maximum latitude), degrees WGS 84.
using BoundingBox = std::array<double, 4>;

// A routable node: one that starts or ends some routing edge.
struct NodeRecord {
    std::int64_t id = 0;
    double lat = 0.0;
    double lon = 0.0;
};

// The routable nodes (in the box when one is given), ordered by id.
// Error context: "Failed to query nodes".
Result<std::vector<NodeRecord>> load_nodes(DatabaseClient& client, const std::optional<BoundingBox>& box);

// The directed routing edges (with a box: those whose two end nodes both lie in it), in the
// database's order. Error context: "Failed to query routing edges".
Result<std::vector<EdgeData>> load_edges(DatabaseClient& client, const std::optional<BoundingBox>& box);

// Up to 20 routable nodes within `radius_m` geodesic metres of (lat, lon), nearest first,
// optionally only those in the box. Error context: "Failed to query routable nodes near point".
Result<std::vector<NodeRecord>> find_routable_nodes_near(DatabaseClient& client,
                                                         const std::optional<BoundingBox>& box, double lat,
                                                         double lon, double radius_m);

// The statements the three functions send.
namespace graph_sql {
[[nodiscard]] std::string nodes(const std::optional<BoundingBox>& box);
[[nodiscard]] std::string edges(const std::optional<BoundingBox>& box);
[[nodiscard]] std::string nodes_near(const std::optional<BoundingBox>& box, double lat, double lon, double radius_m);
}  // namespace graph_sql

}  // namespace quorvel_routing
