#include "quorvel_routing/database.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <limits>

#include "quorvel_routing/platform/log.hpp"
#include "quorvel_routing/platform/text.hpp"

namespace quorvel_routing {

namespace {

constexpr std::string_view kLogTarget = "quorvel_routing::database";

// Decodes the UTF-8 sequence at s[i]; yields the code point and its length. A malformed
// sequence counts as one byte that is not white space.
std::pair<char32_t, std::size_t> decode_utf8(std::string_view s, std::size_t i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    if (lead < 0x80) return {lead, 1};
    std::size_t len = lead >= 0xF0 && lead < 0xF8 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (len == 0 || i + len > s.size()) return {0xFFFD, 1};
    char32_t cp = lead & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return {0xFFFD, 1};
        cp = (cp << 6) | (c & 0x3F);
    }
    return {cp, len};
}

// The Unicode White_Space property.
bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// An optional sign and one or more decimal digits whose value fits a 32-bit signed integer
// (leading zeros allowed, so 007 is a number).
bool is_i32(std::string_view t) {
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    if (t.empty()) return false;
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                                        : std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > limit) return false;
    }
    return true;
}

// The street words are plain ASCII and contain neither 'i' nor 'k', the only ASCII letters a
// non-ASCII character lower-cases into (U+0130, U+212A); so lower-casing ASCII alone gives the
// same answer as full Unicode lower-casing.
bool is_street_word(std::string_view t) {
    std::string lower(t);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (std::string_view word : {"strasse", "street", "road", "weg", "platz", "gasse"})
        if (lower.find(word) != std::string::npos) return true;
    return false;
}

std::string match_condition(std::string_view t) {
    return fmt::format(
        "(\n"
        "    a.street ILIKE '%{0}%' OR\n"
        "    a.housenumber ILIKE '%{0}%' OR\n"
        "    a.city ILIKE '%{0}%' OR\n"
        "    a.postcode ILIKE '%{0}%' OR\n"
        "    a.country ILIKE '%{0}%' OR\n"
        "    a.name ILIKE '%{0}%' OR\n"
        "    a.category ILIKE '%{0}%' OR\n"
        "    a.brand ILIKE '%{0}%' OR\n"
        "    a.operator ILIKE '%{0}%'\n"
        ")",
        t);
}

}  // namespace

Result<DatabaseClient> connect(const DatabaseConnection& target) {
    auto client = pg::Connection::open(target.connection_string());
    if (!client)
        return fail(std::move(client).error().context(
            fmt::format("Failed to connect to database at {}:{}", target.host, target.port)));
    client->on_connection_lost([](std::string_view message) {
        fmt::print(stderr, "Database connection error: {}\n", message);
        std::fflush(stderr);
    });
    return std::move(*client);
}

namespace address_search {

std::vector<std::string> tokens(std::string_view text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        auto [cp, len] = decode_utf8(text, i);
        if (is_unicode_space(cp)) {
            if (i > start) out.emplace_back(text.substr(start, i - start));
            start = i + len;
        }
        i += len;
    }
    if (text.size() > start) out.emplace_back(text.substr(start));
    return out;
}

std::string escape(std::string_view token, bool standard_conforming_strings) {
    std::string out;
    out.reserve(token.size() + 2);
    for (char c : token) {
        out += c;
        if (c == '\'' || (c == '\\' && !standard_conforming_strings)) out += c;
    }
    return out;
}

bool is_name_like(std::string_view token) { return !is_i32(token) && !is_street_word(token); }

std::string build_sql(const std::vector<std::string>& escaped_tokens) {
    std::string score = "(";
    std::size_t name_like = 0;
    for (std::size_t i = 0; i < escaped_tokens.size(); ++i) {
        const auto& t = escaped_tokens[i];
        const bool loose = is_name_like(t);
        if (loose) ++name_like;
        if (i > 0) score += " + ";
        score += fmt::format("(CASE WHEN {} THEN 1.0 ELSE {} END)", match_condition(t), loose ? "0.5" : "0.0");
    }
    score += ")";
    const std::string threshold = text::f64(static_cast<double>(escaped_tokens.size() - name_like));
    return fmt::format(
        "SELECT\n"
        "    a.lat,\n"
        "    a.lon,\n"
        "    COALESCE(a.name, '') AS name,\n"
        "    COALESCE(a.street, '') AS street,\n"
        "    COALESCE(a.housenumber, '') AS housenumber,\n"
        "    COALESCE(a.city, '') AS city,\n"
        "    COALESCE(a.postcode, '') AS postcode,\n"
        "    COALESCE(a.category, '') AS category,\n"
        "    COALESCE(a.brand, '') AS brand,\n"
        "    COALESCE(a.operator, '') AS operator,\n"
        "    {0} AS score\n"
        "FROM addresses a\n"
        "WHERE {0} >= {1}\n"
        "ORDER BY score DESC\n"
        "LIMIT 1",
        score, threshold);
}

std::string label(const MatchedRow& row) {
    std::vector<std::string> parts;
    if (!row.brand.empty()) parts.push_back(row.brand);
    else if (!row.name.empty()) parts.push_back(row.name);
    if (!row.street.empty())
        parts.push_back(row.housenumber.empty() ? row.street : row.street + " " + row.housenumber);
    if (!row.city.empty())
        parts.push_back(row.postcode.empty() ? row.city : row.postcode + " " + row.city);
    if (parts.empty()) {
        if (!row.operator_name.empty()) return row.operator_name;
        if (!row.category.empty()) return row.category;
        return fmt::format("({}, {})", text::f64(row.lat), text::f64(row.lon));
    }
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += ", ";
        out += parts[i];
    }
    return out;
}

}  // namespace address_search

Result<ResolvedAddress> resolve_address(std::string_view query, DatabaseClient& client) {
    log::info(kLogTarget, "Resolving address: '{}'", query);
    const auto raw_tokens = address_search::tokens(query);
    if (raw_tokens.empty()) return fail("Empty address query");

    const bool conforming = client.standard_conforming_strings();
    std::vector<std::string> escaped;
    escaped.reserve(raw_tokens.size());
    for (const auto& t : raw_tokens) escaped.push_back(address_search::escape(t, conforming));

    const auto context = [&](Error e) { return fail(std::move(e).context(fmt::format("Failed to resolve address: '{}'", query))); };
    auto found = client.query_opt(address_search::build_sql(escaped));
    if (!found) return context(std::move(found).error());
    if (!*found) return fail(fmt::format("No match found for address: '{}'", query));

    const pg::Row& row = **found;
    address_search::MatchedRow m;
    auto read = [&]() -> Result<void> {
        m.lat = QR_TRY(row.get<double>(0));
        m.lon = QR_TRY(row.get<double>(1));
        m.name = QR_TRY(row.get<std::string>(2));
        m.street = QR_TRY(row.get<std::string>(3));
        m.housenumber = QR_TRY(row.get<std::string>(4));
        m.city = QR_TRY(row.get<std::string>(5));
        m.postcode = QR_TRY(row.get<std::string>(6));
        m.category = QR_TRY(row.get<std::string>(7));
        m.brand = QR_TRY(row.get<std::string>(8));
        m.operator_name = QR_TRY(row.get<std::string>(9));
        return {};
    }();
    if (!read) return context(std::move(read).error());

    ResolvedAddress resolved{m.lat, m.lon, address_search::label(m)};
    log::debug(kLogTarget, "Resolved '{}' -> ({}, {}) '{}'", query, text::f64(resolved.latitude),
               text::f64(resolved.longitude), resolved.label);
    return resolved;
}

// ---- the road graph in a bounding box --------------------------------------------------------

namespace graph_sql {

std::string nodes(const std::optional<BoundingBox>& box) {
    if (!box)
        return "SELECT n.id, n.lat, n.lon\n"
               "FROM nodes n\n"
               "WHERE EXISTS (SELECT 1 FROM routing_edges re WHERE re.from_node = n.id)\n"
               "   OR EXISTS (SELECT 1 FROM routing_edges re WHERE re.to_node = n.id)\n"
               "ORDER BY n.id";
    const auto& b = *box;
    return fmt::format(
        "SELECT n.id, n.lat, n.lon\n"
        "FROM nodes n\n"
        "WHERE n.geometry && ST_MakeEnvelope({}, {}, {}, {}, 4326)\n"
        "  AND (\n"
        "    EXISTS (SELECT 1 FROM routing_edges re WHERE re.from_node = n.id)\n"
        "    OR EXISTS (SELECT 1 FROM routing_edges re WHERE re.to_node = n.id)\n"
        "  )\n"
        "ORDER BY n.id",
        text::f64(b[0]), text::f64(b[1]), text::f64(b[2]), text::f64(b[3]));
}

std::string edges(const std::optional<BoundingBox>& box) {
    if (!box)
        return "SELECT from_node, to_node, way_id, distance_m,\n"
               "       highway_type, speed_limit_kmh, is_toll, surface, country_code,\n"
               "       from_elevation_m, to_elevation_m\n"
               "FROM routing_edges";
    const auto& b = *box;
    return fmt::format(
        "WITH bbox_nodes AS (\n"
        "    SELECT id FROM nodes\n"
        "    WHERE geometry && ST_MakeEnvelope({}, {}, {}, {}, 4326)\n"
        ")\n"
        "SELECT re.from_node, re.to_node, re.way_id, re.distance_m,\n"
        "       re.highway_type, re.speed_limit_kmh, re.is_toll, re.surface, re.country_code,\n"
        "       re.from_elevation_m, re.to_elevation_m\n"
        "FROM routing_edges re\n"
        "WHERE re.from_node IN (SELECT id FROM bbox_nodes)\n"
        "  AND re.to_node IN (SELECT id FROM bbox_nodes)",
        text::f64(b[0]), text::f64(b[1]), text::f64(b[2]), text::f64(b[3]));
}

std::string nodes_near(const std::optional<BoundingBox>& box, double lat, double lon, double radius_m) {
    std::string box_clause;
    if (box)
        box_clause = fmt::format("AND ST_Intersects(n.geometry, ST_MakeEnvelope({}, {}, {}, {}, 4326))",
                                 text::f64((*box)[0]), text::f64((*box)[1]), text::f64((*box)[2]),
                                 text::f64((*box)[3]));
    return fmt::format(
        "SELECT DISTINCT\n"
        "    n.id,\n"
        "    n.lat,\n"
        "    n.lon,\n"
        "    ST_Distance(\n"
        "        ST_MakePoint({0}, {1})::geography,\n"
        "        n.geometry::geography\n"
        "    ) as distance_m\n"
        "FROM nodes n\n"
        "WHERE EXISTS (\n"
        "    SELECT 1 FROM routing_edges re\n"
        "    WHERE re.from_node = n.id OR re.to_node = n.id\n"
        ")\n"
        "{2}\n"
        "AND ST_DWithin(\n"
        "    n.geometry::geography,\n"
        "    ST_MakePoint({0}, {1})::geography,\n"
        "    {3}\n"
        ")\n"
        "ORDER BY distance_m\n"
        "LIMIT 20",
        text::f64(lon), text::f64(lat), box_clause, text::f64(radius_m));
}

}  // namespace graph_sql

namespace {

Result<std::vector<NodeRecord>> read_nodes(const pg::Rows& rows) {
    std::vector<NodeRecord> nodes;
    nodes.reserve(rows.size());
    for (const auto& row : rows) {
        NodeRecord n;
        n.id = QR_TRY(row.get<std::int64_t>(0));
        n.lat = QR_TRY(row.get<double>(1));
        n.lon = QR_TRY(row.get<double>(2));
        nodes.push_back(n);
    }
    return nodes;
}

Result<std::vector<EdgeData>> read_edges(const pg::Rows& rows) {
    std::vector<EdgeData> edges;
    edges.reserve(rows.size());
    for (const auto& row : rows) {
        EdgeData e;
        e.from_node = QR_TRY(row.get<std::int64_t>(0));
        e.to_node = QR_TRY(row.get<std::int64_t>(1));
        e.way_id = QR_TRY(row.get<std::optional<std::int64_t>>(2));
        e.distance_m = QR_TRY(row.get<float>(3));
        e.highway_type = QR_TRY(row.get<std::optional<std::string>>(4));
        e.speed_limit_kmh = QR_TRY(row.get<std::optional<std::int16_t>>(5));
        e.is_toll = QR_TRY(row.get<bool>(6));
        e.surface = QR_TRY(row.get<std::optional<std::string>>(7));
        e.country_code = QR_TRY(row.get<std::optional<std::string>>(8));
        e.from_elevation_m = QR_TRY(row.get<std::optional<float>>(9));
        e.to_elevation_m = QR_TRY(row.get<std::optional<float>>(10));
        edges.push_back(std::move(e));
    }
    return edges;
}

template <class T>
Result<T> with_context(Result<T> r, const char* context) {
    if (!r) return fail(std::move(r).error().context(context));
    return r;
}

}  // namespace

Result<std::vector<NodeRecord>> load_nodes(DatabaseClient& client, const std::optional<BoundingBox>& box) {
    log::info(kLogTarget, "Loading nodes from database...");
    if (box)
        log::info(kLogTarget, "Using bounding box: ({}, {}) to ({}, {})", text::f64((*box)[0]),
                  text::f64((*box)[1]), text::f64((*box)[2]), text::f64((*box)[3]));
    else
        log::info(kLogTarget, "Loading all nodes (no bounding box)");
    constexpr const char* context = "Failed to query nodes";
    auto rows = QR_TRY(with_context(client.query(graph_sql::nodes(box)), context));
    auto nodes = QR_TRY(with_context(read_nodes(rows), context));
    log::info(kLogTarget, "Loaded {} nodes", nodes.size());
    return nodes;
}

Result<std::vector<EdgeData>> load_edges(DatabaseClient& client, const std::optional<BoundingBox>& box) {
    log::info(kLogTarget, "Loading edges from routing_edges table...");
    constexpr const char* context = "Failed to query routing edges";
    auto rows = QR_TRY(with_context(client.query(graph_sql::edges(box)), context));
    auto edges = QR_TRY(with_context(read_edges(rows), context));
    log::info(kLogTarget, "Loaded {} edges", edges.size());
    return edges;
}

Result<std::vector<NodeRecord>> find_routable_nodes_near(DatabaseClient& client,
                                                         const std::optional<BoundingBox>& box, double lat,
                                                         double lon, double radius_m) {
    constexpr const char* context = "Failed to query routable nodes near point";
    auto rows = QR_TRY(with_context(client.query(graph_sql::nodes_near(box, lat, lon, radius_m)), context));
    return with_context(read_nodes(rows), context);
}

}  // namespace quorvel_routing
