// The database connection and the address search: the search text's tokens, the SQL built
// from them, the labels, and both against a real PostGIS database with fixture rows.
#include <arpa/inet.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "pg_harness.hpp"
#include "quorvel_routing/database.hpp"
#include "quorvel_routing/platform/log.hpp"
#include "quorvel_routing/platform/text.hpp"

namespace qr = quorvel_routing;
namespace search = quorvel_routing::address_search;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// ---------------------------------------------------------------------------------------------
// The search text, without a server

TEST(AddressTokens, SplitAtUnicodeWhiteSpace) {
    struct Case {
        std::string text;
        std::vector<std::string> tokens;
    };
    const Case cases[] = {
        {"", {}},
        {" \t\n\r\v\f ", {}},
        {"Bahnhofstrasse 12", {"Bahnhofstrasse", "12"}},
        {"  two   blanks\tand\ttabs\n", {"two", "blanks", "and", "tabs"}},
        {"O'Brien", {"O'Brien"}},
        // no-break space, ideographic space, line separator, narrow no-break space, U+0085
        {"a\u00A0b\u3000c\u2028d\u202Fe\u0085f", {"a", "b", "c", "d", "e", "f"}},
        // zero-width space is not white space; multi-byte letters stay whole
        {"Zürich\u200BHB Genève", {"Zürich\u200BHB", "Genève"}},
        {"\u2003", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(search::tokens(c.text), c.tokens) << c.text;
}

TEST(AddressTokens, EscapeDoublesQuotes) {
    EXPECT_EQ(search::escape("O'Brien"), "O''Brien");
    EXPECT_EQ(search::escape("''"), "''''");
    EXPECT_EQ(search::escape("%_;--"), "%_;--");
    EXPECT_EQ(search::escape("a\\'b"), "a\\''b");
    // A server that reads backslashes as escapes gets them doubled as well.
    EXPECT_EQ(search::escape("a\\'b", false), "a\\\\''b");
}

TEST(AddressTokens, NumbersAndStreetWordsAreNotNameLike) {
    struct Case {
        const char* token;
        bool name_like;
    };
    const Case cases[] = {
        {"12", false},         {"007", false},          {"-3", false},
        {"+12", false},        {"0000000000012", false}, {"2147483647", false},
        {"-2147483648", false}, {"2147483648", true},    {"-2147483649", true},
        {"123456789012", true}, {"12a", true},           {"+", true},
        {"-", true},           {"+-1", true},           {"1.5", true},
        {"Bahnhofstrasse", false}, {"Main-Street", false}, {"Norwegen", false},
        {"ROAD", false},       {"Marktplatz", false},   {"Gasse", false},
        {"Hauptstraße", true}, {"Migros", true},        {"O''Brien", true},
        {"Str.", true},        {"%", true},
    };
    for (const auto& c : cases) EXPECT_EQ(search::is_name_like(c.token), c.name_like) << c.token;
}

TEST(AddressSql, OneNameLikeTokenWithAQuote) {
    EXPECT_EQ(search::build_sql({search::escape("O'Brien")}),
              R"sql(SELECT
    a.lat,
    a.lon,
    COALESCE(a.name, '') AS name,
    COALESCE(a.street, '') AS street,
    COALESCE(a.housenumber, '') AS housenumber,
    COALESCE(a.city, '') AS city,
    COALESCE(a.postcode, '') AS postcode,
    COALESCE(a.category, '') AS category,
    COALESCE(a.brand, '') AS brand,
    COALESCE(a.operator, '') AS operator,
    ((CASE WHEN (
    a.street ILIKE '%O''Brien%' OR
    a.housenumber ILIKE '%O''Brien%' OR
    a.city ILIKE '%O''Brien%' OR
    a.postcode ILIKE '%O''Brien%' OR
    a.country ILIKE '%O''Brien%' OR
    a.name ILIKE '%O''Brien%' OR
    a.category ILIKE '%O''Brien%' OR
    a.brand ILIKE '%O''Brien%' OR
    a.operator ILIKE '%O''Brien%'
) THEN 1.0 ELSE 0.5 END)) AS score
FROM addresses a
WHERE ((CASE WHEN (
    a.street ILIKE '%O''Brien%' OR
    a.housenumber ILIKE '%O''Brien%' OR
    a.city ILIKE '%O''Brien%' OR
    a.postcode ILIKE '%O''Brien%' OR
    a.country ILIKE '%O''Brien%' OR
    a.name ILIKE '%O''Brien%' OR
    a.category ILIKE '%O''Brien%' OR
    a.brand ILIKE '%O''Brien%' OR
    a.operator ILIKE '%O''Brien%'
) THEN 1.0 ELSE 0.5 END)) >= 0
ORDER BY score DESC
LIMIT 1)sql");
}

TEST(AddressSql, StreetWordAndNumberRaiseTheThreshold) {
    EXPECT_EQ(search::build_sql({"Bahnhofstrasse", "12"}),
              R"sql(SELECT
    a.lat,
    a.lon,
    COALESCE(a.name, '') AS name,
    COALESCE(a.street, '') AS street,
    COALESCE(a.housenumber, '') AS housenumber,
    COALESCE(a.city, '') AS city,
    COALESCE(a.postcode, '') AS postcode,
    COALESCE(a.category, '') AS category,
    COALESCE(a.brand, '') AS brand,
    COALESCE(a.operator, '') AS operator,
    ((CASE WHEN (
    a.street ILIKE '%Bahnhofstrasse%' OR
    a.housenumber ILIKE '%Bahnhofstrasse%' OR
    a.city ILIKE '%Bahnhofstrasse%' OR
    a.postcode ILIKE '%Bahnhofstrasse%' OR
    a.country ILIKE '%Bahnhofstrasse%' OR
    a.name ILIKE '%Bahnhofstrasse%' OR
    a.category ILIKE '%Bahnhofstrasse%' OR
    a.brand ILIKE '%Bahnhofstrasse%' OR
    a.operator ILIKE '%Bahnhofstrasse%'
) THEN 1.0 ELSE 0.0 END) + (CASE WHEN (
    a.street ILIKE '%12%' OR
    a.housenumber ILIKE '%12%' OR
    a.city ILIKE '%12%' OR
    a.postcode ILIKE '%12%' OR
    a.country ILIKE '%12%' OR
    a.name ILIKE '%12%' OR
    a.category ILIKE '%12%' OR
    a.brand ILIKE '%12%' OR
    a.operator ILIKE '%12%'
) THEN 1.0 ELSE 0.0 END)) AS score
FROM addresses a
WHERE ((CASE WHEN (
    a.street ILIKE '%Bahnhofstrasse%' OR
    a.housenumber ILIKE '%Bahnhofstrasse%' OR
    a.city ILIKE '%Bahnhofstrasse%' OR
    a.postcode ILIKE '%Bahnhofstrasse%' OR
    a.country ILIKE '%Bahnhofstrasse%' OR
    a.name ILIKE '%Bahnhofstrasse%' OR
    a.category ILIKE '%Bahnhofstrasse%' OR
    a.brand ILIKE '%Bahnhofstrasse%' OR
    a.operator ILIKE '%Bahnhofstrasse%'
) THEN 1.0 ELSE 0.0 END) + (CASE WHEN (
    a.street ILIKE '%12%' OR
    a.housenumber ILIKE '%12%' OR
    a.city ILIKE '%12%' OR
    a.postcode ILIKE '%12%' OR
    a.country ILIKE '%12%' OR
    a.name ILIKE '%12%' OR
    a.category ILIKE '%12%' OR
    a.brand ILIKE '%12%' OR
    a.operator ILIKE '%12%'
) THEN 1.0 ELSE 0.0 END)) >= 2
ORDER BY score DESC
LIMIT 1)sql");
}

TEST(AddressSql, ThresholdCountsTheTokensThatAreNotNameLike) {
    // Shop name + street word: threshold 1; two plain words: 0; three numbers: 3.
    auto where = [](const std::vector<std::string>& tokens) {
        const auto sql = search::build_sql(tokens);
        const auto at = sql.rfind(">= ");
        return sql.substr(at, sql.find('\n', at) - at);
    };
    EXPECT_EQ(where({"Migros", "Bahnhofstrasse"}), ">= 1");
    EXPECT_EQ(where({"Coop", "Pronto"}), ">= 0");
    EXPECT_EQ(where({"1", "2", "3", "Rheinweg"}), ">= 4");
}

TEST(AddressLabel, PartsInOrderWithTheirFallbacks) {
    struct Case {
        search::MatchedRow row;
        const char* label;
    };
    auto row = [](std::string brand, std::string name, std::string street, std::string housenumber,
                  std::string postcode, std::string city, std::string op = "", std::string category = "") {
        search::MatchedRow r;
        r.lat = 47.1;
        r.lon = 8.5;
        r.brand = std::move(brand);
        r.name = std::move(name);
        r.street = std::move(street);
        r.housenumber = std::move(housenumber);
        r.postcode = std::move(postcode);
        r.city = std::move(city);
        r.operator_name = std::move(op);
        r.category = std::move(category);
        return r;
    };
    const Case cases[] = {
        {row("B", "N", "S", "5", "P", "C"), "B, S 5, P C"},
        {row("B", "", "S", "5", "P", ""), "B, S 5"},
        {row("", "N", "S", "", "", "C"), "N, S, C"},
        {row("", "", "", "5", "P", "C"), "P C"},           // a house number without street is left out
        {row("", "N", "", "", "P", ""), "N"},              // a postcode without city is left out
        {row("", "N", "", "", "", "", "Op", "shop"), "N"},  // operator and category only stand in
        {row("", "", "", "5", "P", "", "Op", "shop"), "Op"},
        {row("", "", "", "", "", "", "", "shop"), "shop"},
        {row("", "", "", "", "", "", "", ""), "(47.1, 8.5)"},
    };
    for (const auto& c : cases) EXPECT_EQ(search::label(c.row), c.label);

    auto whole = row("", "", "", "", "", "");
    whole.lat = 47.0;
    whole.lon = -0.000123;
    EXPECT_EQ(search::label(whole), "(47, -0.000123)");
}

// ---------------------------------------------------------------------------------------------
// Against the database

struct Address {
    double lat = 47.0;
    double lon = 8.0;
    std::optional<std::string> name{}, street{}, housenumber{}, city{}, postcode{}, category{}, brand{}, op{},
        country{};
};

class DatabaseFixture : public qr_test::DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(sql().exec_script("TRUNCATE address_points, nodes, routing_edges; SET search_path TO public").has_value());
        auto opened = qr::connect(connection());
        ASSERT_TRUE(opened.has_value()) << qr::render_error_report(opened.error());
        client_.emplace(std::move(*opened));
    }

    void add(const std::vector<Address>& rows) {
        auto copy = sql().copy_in(
            "COPY address_points (lat, lon, name, street, housenumber, city, postcode, category, brand, "
            "operator, country, geometry) FROM STDIN");
        ASSERT_TRUE(copy.has_value()) << copy.error().message;
        for (const auto& a : rows) {
            auto opt = [](const std::optional<std::string>& s) -> std::optional<std::string_view> {
                if (!s) return std::nullopt;
                return std::string_view(*s);
            };
            const auto lat = qr::text::f64(a.lat), lon = qr::text::f64(a.lon);
            const auto point = fmt::format("SRID=4326;POINT({} {})", lon, lat);
            ASSERT_TRUE(copy->put_row({lat, lon, opt(a.name), opt(a.street), opt(a.housenumber), opt(a.city),
                                       opt(a.postcode), opt(a.category), opt(a.brand), opt(a.op), opt(a.country),
                                       point})
                            .has_value());
        }
        ASSERT_EQ(copy->finish().value(), static_cast<std::int64_t>(rows.size()));
    }

    qr::Result<qr::ResolvedAddress> resolve(std::string_view text) { return qr::resolve_address(text, *client_); }

    std::string label_of(std::string_view text) {
        auto r = resolve(text);
        return r ? r->label : "error: " + qr::render_error_report(r.error());
    }

    std::optional<qr::DatabaseClient> client_;
};

TEST_F(DatabaseFixture, ScoresFollowNameLikeAndNonNameLikeTokens) {
    add({
        {.lat = 47.1, .lon = 8.1, .street = "Bahnhofstrasse", .housenumber = "12", .city = "Zürich"},
        {.lat = 47.2, .lon = 8.2, .street = "Bahnhofstrasse", .housenumber = "14", .city = "Zürich"},
        {.lat = 47.3, .lon = 8.3, .name = "Migros Kreuzplatz", .city = "Bern", .category = "supermarket",
         .brand = "Migros"},
        {.lat = 47.4, .lon = 8.4, .name = "Coop Pronto", .street = "Seeweg", .housenumber = "3", .city = "Luzern",
         .brand = "Coop"},
        {.lat = 47.5, .lon = 8.5, .street = "Zürichweg", .housenumber = "7", .city = "Thun"},
    });
    // Both words must match: only number 12 qualifies, and nothing matches number 99.
    EXPECT_EQ(label_of("Bahnhofstrasse 12"), "Bahnhofstrasse 12, Zürich");
    EXPECT_EQ(label_of("Bahnhofstrasse 99"), "error: Error: No match found for address: 'Bahnhofstrasse 99'\n");
    // Shop name + street word, threshold 1: the street-only row (1.5) beats the name-only row (1.0) ...
    EXPECT_EQ(label_of("Migros Bahnhofstrasse").substr(0, 14), "Bahnhofstrasse");
    // ... the name-only row qualifies when no street matches, a row matching neither (0.5) never.
    EXPECT_EQ(label_of("Migros Gartenweg"), "Migros, Bern");
    EXPECT_EQ(label_of("Denner Gartenweg"), "error: Error: No match found for address: 'Denner Gartenweg'\n");
    // Two plain words: threshold 0, every row qualifies, the best score wins.
    EXPECT_EQ(label_of("coop LUZERN"), "Coop, Seeweg 3, Luzern");
    EXPECT_TRUE(resolve("Nirgendwo Nichts").has_value());
    // Case folding beyond ASCII: the street word must match.
    EXPECT_EQ(label_of("ZÜRICHWEG"), "Zürichweg 7, Thun");

    auto hit = resolve("  Seeweg\t3 ");
    ASSERT_TRUE(hit.has_value());
    EXPECT_EQ(hit->latitude, 47.4);
    EXPECT_EQ(hit->longitude, 8.4);
}

TEST_F(DatabaseFixture, LabelsFromMatchedRows) {
    add({
        {.lat = 46.5, .lon = 7.5, .name = "Nord", .street = "S", .housenumber = "5", .city = "C", .postcode = "P",
         .brand = "B"},
        {.lat = 46.6, .lon = 7.6, .name = "Sued", .street = "S", .housenumber = "5", .postcode = "P", .brand = "B"},
        {.lat = 47.1, .lon = 8.5, .category = "", .country = "Liechtenstein"},
        {.lat = 47.2, .lon = 8.6, .category = "charging_station", .op = "Ionity", .country = "Andorra"},
    });
    EXPECT_EQ(label_of("Nord"), "B, S 5, P C");
    EXPECT_EQ(label_of("Sued"), "B, S 5");
    EXPECT_EQ(label_of("Liechtenstein"), "(47.1, 8.5)");
    EXPECT_EQ(label_of("Andorra"), "Ionity");
}

TEST_F(DatabaseFixture, LogsTheSearchAndItsResult) {
    add({{.lat = 47.1, .lon = 8.5, .name = "O'Brien's Pub", .city = "Basel"}});
    qr::log::install(qr::log::parse_filter("quorvel_routing::database=debug"), false);
    ::testing::internal::CaptureStdout();
    auto hit = resolve("O'Brien");
    const auto out = ::testing::internal::GetCapturedStdout();
    qr::log::install(qr::log::parse_filter(""), false);
    ASSERT_TRUE(hit.has_value());
    EXPECT_EQ(hit->label, "O'Brien's Pub, Basel");

    std::vector<std::string> lines;
    for (std::size_t at = 0; at < out.size();) {
        auto nl = out.find('\n', at);
        auto line = out.substr(at, nl - at);
        lines.push_back(line.substr(line.find(' ') + 1));  // without the time stamp
        at = nl == std::string::npos ? out.size() : nl + 1;
    }
    EXPECT_THAT(lines, ElementsAre(" INFO quorvel_routing::database: Resolving address: 'O'Brien'",
                                   "DEBUG quorvel_routing::database: Resolved 'O'Brien' -> (47.1, 8.5) 'O'Brien's Pub, Basel'"));
}

std::int64_t count(qr::pg::Connection& c, const std::string& table) {
    auto row = c.query_one("SELECT count(*) FROM " + table);
    return row ? row->get<std::int64_t>(0).value_or(-1) : -1;
}

TEST_F(DatabaseFixture, HostileTextStaysInsideItsLiterals) {
    add({
        {.lat = 47.1, .lon = 8.5, .name = "O'Brien's Pub", .city = "Basel"},
        {.lat = 47.2, .lon = 8.6, .name = "back'slash", .city = "Olten"},
        {.lat = 47.3, .lon = 8.7, .name = "100% Bio", .street = "Rue-du-Lac", .housenumber = "1", .city = "Genf"},
        {.lat = 47.4, .lon = 8.8, .name = "Select Shop", .city = "Chur", .category = "shop"},
    });
    ASSERT_TRUE(sql().exec_script(
        "INSERT INTO nodes VALUES (1, 47, 8, 'SRID=4326;POINT(8 47)'), (2, 47.1, 8.1, 'SRID=4326;POINT(8.1 47.1)');"
        "INSERT INTO routing_edges (from_node, to_node, distance_m) VALUES (1, 2, 15000), (2, 1, 15000)").has_value());
    const auto tables_before = sql().query_one("SELECT string_agg(tablename, ',' ORDER BY tablename) FROM pg_tables WHERE schemaname = 'public'")
                                   .value().get<std::string>(0).value();

    EXPECT_EQ(label_of("O'Brien"), "O'Brien's Pub, Basel");
    EXPECT_EQ(label_of("o'brien's"), "O'Brien's Pub, Basel");
    // A backslash is no escape inside the literal; to ILIKE it escapes the quote after it.
    EXPECT_EQ(label_of("back\\'slash"), "back'slash, Olten");
    // % and _ act as ILIKE wildcards: "_" stands for the hyphens.
    EXPECT_EQ(label_of("100% Genf"), "100% Bio, Rue-du-Lac 1, Genf");
    EXPECT_EQ(label_of("Rue_du_Lac 1"), "100% Bio, Rue-du-Lac 1, Genf");
    // SQL keywords and semicolons are plain words.
    EXPECT_EQ(label_of("SELECT Shop;"), "Select Shop, Chur");

    std::vector<std::string> hostile = {
        "'; DROP TABLE nodes; --",
        "'); DELETE FROM routing_edges; --",
        "' OR 1=1; TRUNCATE nodes; --",
        "\\'; DROP TABLE routing_edges; --",
        "%'; SELECT pg_sleep(5); --",
        "'''''",
        "SELECT * FROM nodes; UPDATE nodes SET lat = 0",
        "$$ ; DROP TABLE nodes ; $$",
        "E'\\x27'; DROP TABLE nodes",
        "Chur; --",
    };
    std::string hundred;
    for (int i = 0; i < 100; ++i) {
        static const char* words[] = {"';", "DROP", "TABLE", "nodes;", "--", "%", "_", "O'Brien", "42", "Bahnhofstrasse"};
        if (i > 0) hundred += ' ';
        hundred += words[i % 10];
    }
    ASSERT_EQ(search::tokens(hundred).size(), 100u);
    hostile.push_back(hundred);

    for (bool conforming : {true, false}) {
        ASSERT_TRUE(client_->exec(conforming ? "SET standard_conforming_strings = on"
                                             : "SET standard_conforming_strings = off").has_value());
        ASSERT_EQ(client_->standard_conforming_strings(), conforming);
        for (const auto& text : hostile) {
            SCOPED_TRACE(text);
            auto r = resolve(text);
            // Either a row or "no match"; never an SQL error, never a second statement.
            if (!r) {
                EXPECT_EQ(r.error().message, fmt::format("No match found for address: '{}'", text));
            }
        }
        EXPECT_EQ(label_of("back\\'slash"), "back'slash, Olten");
        EXPECT_EQ(label_of("SELECT Shop;"), "Select Shop, Chur");
    }
    EXPECT_EQ(count(sql(), "nodes"), 2);
    EXPECT_EQ(count(sql(), "routing_edges"), 2);
    EXPECT_EQ(count(sql(), "address_points"), 4);
    EXPECT_EQ(sql().query_one("SELECT string_agg(tablename, ',' ORDER BY tablename) FROM pg_tables WHERE schemaname = 'public'")
                  .value().get<std::string>(0).value(),
              tables_before);
    EXPECT_EQ(sql().query_one("SELECT min(lat) FROM nodes").value().get<double>(0).value(), 47.0);
}

TEST_F(DatabaseFixture, EmptySearchSendsNothing) {
    // The client's session is ended first: a query would fail differently and report the break.
    ASSERT_TRUE(sql().query_one(fmt::format("SELECT pg_terminate_backend({})", client_->backend_pid())).has_value());
    ::testing::internal::CaptureStderr();
    for (const char* text : {"", "   ", "\t\n", "\u00A0\u3000"}) {
        auto r = resolve(text);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(qr::render_error_report(r.error()), "Error: Empty address query\n");
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(DatabaseFixture, QueryFailuresCarryTheSearchTextAsContext) {
    add({{.lat = 47.1, .lon = 8.5, .name = "Zentrum"}});
    // No view in the search path.
    ASSERT_TRUE(sql().exec_script("CREATE SCHEMA IF NOT EXISTS bare; CREATE SCHEMA IF NOT EXISTS odd;"
                                  "CREATE OR REPLACE VIEW odd.addresses AS SELECT lat::real AS lat, lon, name, street, "
                                  "housenumber, city, postcode, category, brand, operator, country FROM public.address_points")
                    .has_value());
    ASSERT_TRUE(client_->exec("SET search_path TO bare").has_value());
    auto missing = resolve("Zentrum");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(qr::render_error_report(missing.error()),
              "Error: Failed to resolve address: 'Zentrum'\n\nCaused by:\n    ERROR: relation \"addresses\" does not exist\n");

    // A view whose lat is real, not double precision: the read names the column.
    ASSERT_TRUE(client_->exec("SET search_path TO odd, public").has_value());
    auto odd = resolve("Zentrum");
    ASSERT_FALSE(odd.has_value());
    EXPECT_EQ(qr::render_error_report(odd.error()),
              "Error: Failed to resolve address: 'Zentrum'\n\nCaused by:\n"
              "    Column 0 has type real, which cannot be read as double precision\n");
}

TEST_F(DatabaseFixture, ABrokenConnectionIsReportedOnceOnStandardError) {
    add({{.lat = 47.1, .lon = 8.5, .name = "Zentrum"}});
    ASSERT_TRUE(resolve("Zentrum").has_value());
    ASSERT_TRUE(sql().query_one(fmt::format("SELECT pg_terminate_backend({})", client_->backend_pid())).has_value());

    ::testing::internal::CaptureStderr();
    auto first = resolve("Zentrum");
    const auto first_err = ::testing::internal::GetCapturedStderr();
    ASSERT_FALSE(first.has_value());
    EXPECT_EQ(first.error().message, "Failed to resolve address: 'Zentrum'");
    ASSERT_EQ(first.error().causes.size(), 1u);
    EXPECT_THAT(first.error().causes[0], HasSubstr("terminating connection due to administrator command"));
    EXPECT_THAT(first_err, ::testing::MatchesRegex("Database connection error: [^\n]*terminating connection due to "
                                                   "administrator command[^\n]*\n"));

    ::testing::internal::CaptureStderr();
    auto second = resolve("Zentrum");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(qr::render_error_report(second.error()),
              "Error: Failed to resolve address: 'Zentrum'\n\nCaused by:\n    Connection to the database is closed\n");
}

// A local port nobody listens on.
std::uint16_t closed_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 1;
    const auto port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

TEST_F(DatabaseFixture, ConnectFailuresNameTheTargetAndKeepTheClientError) {
    struct Case {
        const char* what;
        qr::DatabaseConnection target;
        const char* cause;
    };
    const auto good = connection();
    auto with = [&](auto change) {
        auto c = good;
        change(c);
        return c;
    };
    const Case cases[] = {
        {"wrong password", with([](auto& c) { c.password = "wrong"; }),
         "password authentication failed for user"},
        {"closed port", with([](auto& c) { c.port = closed_port(); }), "Connection refused"},
        {"port 0", with([](auto& c) { c.port = 0; }), "invalid port number"},
        {"missing database", with([](auto& c) { c.database = "no_such_database_here"; }),
         "database \"no_such_database_here\" does not exist"},
        {"blank in a value", with([](auto& c) { c.password = "two words"; }),
         "missing \"=\" after \"words\" in connection info string"},
        {"unknown host", with([](auto& c) { c.host = "no-such-host.invalid"; }), "no-such-host.invalid"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = qr::connect(c.target);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message, fmt::format("Failed to connect to database at {}:{}", c.target.host, c.target.port));
        ASSERT_EQ(r.error().causes.size(), 1u);
        EXPECT_THAT(r.error().causes[0], HasSubstr(c.cause));
    }
}

// ---------------------------------------------------------------------------------------------
// The road graph in a bounding box

TEST(GraphSql, StatementsWithAndWithoutBox) {
    const qr::BoundingBox box{7.5, 46.1, 9.75, 48.0};
    EXPECT_EQ(qr::graph_sql::nodes(box),
              "SELECT n.id, n.lat, n.lon\n"
              "FROM nodes n\n"
              "WHERE n.geometry && ST_MakeEnvelope(7.5, 46.1, 9.75, 48, 4326)\n"
              "  AND (\n"
              "    EXISTS (SELECT 1 FROM routing_edges re WHERE re.from_node = n.id)\n"
              "    OR EXISTS (SELECT 1 FROM routing_edges re WHERE re.to_node = n.id)\n"
              "  )\n"
              "ORDER BY n.id");
    EXPECT_EQ(qr::graph_sql::nodes(std::nullopt),
              "SELECT n.id, n.lat, n.lon\n"
              "FROM nodes n\n"
              "WHERE EXISTS (SELECT 1 FROM routing_edges re WHERE re.from_node = n.id)\n"
              "   OR EXISTS (SELECT 1 FROM routing_edges re WHERE re.to_node = n.id)\n"
              "ORDER BY n.id");
    EXPECT_EQ(qr::graph_sql::edges(box),
              "WITH bbox_nodes AS (\n"
              "    SELECT id FROM nodes\n"
              "    WHERE geometry && ST_MakeEnvelope(7.5, 46.1, 9.75, 48, 4326)\n"
              ")\n"
              "SELECT re.from_node, re.to_node, re.way_id, re.distance_m,\n"
              "       re.highway_type, re.speed_limit_kmh, re.is_toll, re.surface, re.country_code,\n"
              "       re.from_elevation_m, re.to_elevation_m\n"
              "FROM routing_edges re\n"
              "WHERE re.from_node IN (SELECT id FROM bbox_nodes)\n"
              "  AND re.to_node IN (SELECT id FROM bbox_nodes)");
    EXPECT_EQ(qr::graph_sql::edges(std::nullopt),
              "SELECT from_node, to_node, way_id, distance_m,\n"
              "       highway_type, speed_limit_kmh, is_toll, surface, country_code,\n"
              "       from_elevation_m, to_elevation_m\n"
              "FROM routing_edges");
    const std::string near_head =
        "SELECT DISTINCT\n"
        "    n.id,\n"
        "    n.lat,\n"
        "    n.lon,\n"
        "    ST_Distance(\n"
        "        ST_MakePoint(8.5, 47.376888)::geography,\n"
        "        n.geometry::geography\n"
        "    ) as distance_m\n"
        "FROM nodes n\n"
        "WHERE EXISTS (\n"
        "    SELECT 1 FROM routing_edges re\n"
        "    WHERE re.from_node = n.id OR re.to_node = n.id\n"
        ")\n";
    const std::string near_tail =
        "\n"
        "AND ST_DWithin(\n"
        "    n.geometry::geography,\n"
        "    ST_MakePoint(8.5, 47.376888)::geography,\n"
        "    500\n"
        ")\n"
        "ORDER BY distance_m\n"
        "LIMIT 20";
    EXPECT_EQ(qr::graph_sql::nodes_near(std::nullopt, 47.376888, 8.5, 500.0), near_head + near_tail);
    EXPECT_EQ(qr::graph_sql::nodes_near(box, 47.376888, 8.5, 500.0),
              near_head + "AND ST_Intersects(n.geometry, ST_MakeEnvelope(7.5, 46.1, 9.75, 48, 4326))" + near_tail);
}

class GraphFixture : public DatabaseFixture {
protected:
    void SetUp() override {
        DatabaseFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // 1-2-3 a line of nodes 111 m apart going north, 6 only ever an edge's end, 5 without
        // edges, 4 far outside the box.
        ASSERT_TRUE(sql().exec_script(
            "INSERT INTO nodes SELECT id, lat, lon, ST_SetSRID(ST_MakePoint(lon, lat), 4326) FROM (VALUES "
            "(1, 47.0, 8.0), (2, 47.001, 8.0), (3, 47.002, 8.0), (4, 47.5, 8.5), (5, 47.0005, 8.0),"
            "(6, 47.003, 8.0)) AS v(id, lat, lon);"
            "INSERT INTO routing_edges (from_node, to_node, way_id, distance_m, highway_type, speed_limit_kmh, "
            "is_toll, surface, country_code, from_elevation_m, to_elevation_m) VALUES "
            "(1, 2, 100, 111.2, 'primary', 80, true, 'asphalt', 'CH', 400.5, 401.25),"
            "(2, 1, NULL, 111.2, NULL, NULL, false, NULL, NULL, NULL, NULL),"
            "(2, 3, 100, 111.2, 'primary', 80, false, NULL, 'CH', NULL, NULL),"
            "(3, 4, 101, 60000, 'motorway', 120, true, NULL, 'CH', NULL, NULL),"
            "(3, 6, 102, 111.2, 'residential', 30, false, NULL, 'CH', NULL, NULL)")
                        .has_value());
    }

    static std::vector<std::int64_t> ids(const std::vector<qr::NodeRecord>& nodes) {
        std::vector<std::int64_t> out;
        for (const auto& n : nodes) out.push_back(n.id);
        return out;
    }
    static std::vector<std::pair<std::int64_t, std::int64_t>> pairs(std::vector<qr::EdgeData> edges) {
        std::vector<std::pair<std::int64_t, std::int64_t>> out;
        for (const auto& e : edges) out.emplace_back(e.from_node, e.to_node);
        std::sort(out.begin(), out.end());
        return out;
    }

    const qr::BoundingBox box_{7.9, 46.9, 8.1, 47.1};
};

TEST_F(GraphFixture, NodesAndEdgesInTheBox) {
    auto nodes = qr::load_nodes(*client_, box_);
    ASSERT_TRUE(nodes.has_value()) << qr::render_error_report(nodes.error());
    EXPECT_THAT(ids(*nodes), ElementsAre(1, 2, 3, 6));  // 6 is only a to_node; 3 has an edge leaving the box
    EXPECT_EQ((*nodes)[1].lat, 47.001);
    EXPECT_EQ((*nodes)[1].lon, 8.0);
    EXPECT_THAT(ids(qr::load_nodes(*client_, std::nullopt).value()), ElementsAre(1, 2, 3, 4, 6));

    auto edges = qr::load_edges(*client_, box_);
    ASSERT_TRUE(edges.has_value()) << qr::render_error_report(edges.error());
    using P = std::pair<std::int64_t, std::int64_t>;
    EXPECT_THAT(pairs(*edges), ElementsAre(P{1, 2}, P{2, 1}, P{2, 3}, P{3, 6}));  // 3 -> 4 leaves the box
    EXPECT_EQ(pairs(qr::load_edges(*client_, std::nullopt).value()).size(), 5u);

    for (const auto& e : *edges) {
        if (e.from_node == 1) {
            EXPECT_EQ(e.way_id, 100);
            EXPECT_EQ(e.distance_m, 111.2f);
            EXPECT_EQ(e.highway_type, "primary");
            EXPECT_EQ(e.speed_limit_kmh, std::int16_t{80});
            EXPECT_TRUE(e.is_toll);
            EXPECT_EQ(e.surface, "asphalt");
            EXPECT_EQ(e.country_code, "CH");
            EXPECT_EQ(e.from_elevation_m, 400.5f);
            EXPECT_EQ(e.to_elevation_m, 401.25f);
        }
        if (e.from_node == 2 && e.to_node == 1) {
            EXPECT_EQ(e.way_id, std::nullopt);
            EXPECT_EQ(e.highway_type, std::nullopt);
            EXPECT_EQ(e.speed_limit_kmh, std::nullopt);
            EXPECT_FALSE(e.is_toll);
            EXPECT_EQ(e.surface, std::nullopt);
            EXPECT_EQ(e.country_code, std::nullopt);
            EXPECT_EQ(e.from_elevation_m, std::nullopt);
            EXPECT_EQ(e.to_elevation_m, std::nullopt);
        }
    }
}

TEST_F(GraphFixture, AnEmptyAreaIsNoError) {
    qr::log::install(qr::log::parse_filter("info"), false);
    ::testing::internal::CaptureStdout();
    const qr::BoundingBox nowhere{-10.5, -10, -9, -9.5};
    auto nodes = qr::load_nodes(*client_, nowhere);
    auto edges = qr::load_edges(*client_, nowhere);
    const auto out = ::testing::internal::GetCapturedStdout();
    qr::log::install(qr::log::parse_filter(""), false);
    ASSERT_TRUE(nodes.has_value());
    ASSERT_TRUE(edges.has_value());
    EXPECT_TRUE(nodes->empty());
    EXPECT_TRUE(edges->empty());
    std::vector<std::string> messages;
    for (std::size_t at = 0; (at = out.find("quorvel_routing::database: ", at)) != std::string::npos;) {
        at += 27;
        messages.push_back(out.substr(at, out.find('\n', at) - at));
    }
    EXPECT_THAT(messages, ElementsAre("Loading nodes from database...", "Using bounding box: (-10.5, -10) to (-9, -9.5)",
                                      "Loaded 0 nodes", "Loading edges from routing_edges table...", "Loaded 0 edges"));
}

TEST_F(GraphFixture, NearbyNodesNearestFirstWithinRadius) {
    auto near = qr::find_routable_nodes_near(*client_, std::nullopt, 47.0, 8.0, 500.0);
    ASSERT_TRUE(near.has_value()) << qr::render_error_report(near.error());
    EXPECT_THAT(ids(*near), ElementsAre(1, 2, 3, 6));  // 5 has no edge
    EXPECT_THAT(ids(qr::find_routable_nodes_near(*client_, std::nullopt, 47.0, 8.0, 150.0).value()), ElementsAre(1, 2));
    const qr::BoundingBox south{7.9, 46.9, 8.1, 47.0015};
    EXPECT_THAT(ids(qr::find_routable_nodes_near(*client_, south, 47.002, 8.0, 500.0).value()), ElementsAre(2, 1));

    // Never more than 20, still nearest first.
    ASSERT_TRUE(sql().exec_script(
        "INSERT INTO nodes SELECT 100 + g, 46.0 + g * 0.0001, 7.0, ST_SetSRID(ST_MakePoint(7.0, 46.0 + g * 0.0001), 4326) "
        "FROM generate_series(1, 30) g;"
        "INSERT INTO routing_edges (from_node, to_node, distance_m) SELECT 100 + g, 101 + g, 11.1 FROM generate_series(1, 29) g")
                    .has_value());
    auto many = qr::find_routable_nodes_near(*client_, std::nullopt, 46.0, 7.0, 10000.0);
    ASSERT_TRUE(many.has_value());
    std::vector<std::int64_t> first20;
    for (int i = 1; i <= 20; ++i) first20.push_back(100 + i);
    EXPECT_EQ(ids(*many), first20);
}

TEST_F(GraphFixture, FailuresCarryTheirContext) {
    ASSERT_TRUE(sql().exec_script("CREATE SCHEMA IF NOT EXISTS bare; CREATE SCHEMA IF NOT EXISTS wide;"
                                  "CREATE OR REPLACE VIEW wide.routing_edges AS SELECT from_node, to_node, way_id, "
                                  "distance_m::double precision AS distance_m, highway_type, speed_limit_kmh, is_toll, "
                                  "surface, country_code, from_elevation_m, to_elevation_m FROM public.routing_edges")
                    .has_value());
    ASSERT_TRUE(client_->exec("SET search_path TO bare").has_value());
    EXPECT_EQ(qr::render_error_report(qr::load_nodes(*client_, box_).error()),
              "Error: Failed to query nodes\n\nCaused by:\n    ERROR: relation \"nodes\" does not exist\n");
    EXPECT_EQ(qr::render_error_report(qr::load_edges(*client_, std::nullopt).error()),
              "Error: Failed to query routing edges\n\nCaused by:\n    ERROR: relation \"routing_edges\" does not exist\n");
    EXPECT_EQ(qr::render_error_report(qr::find_routable_nodes_near(*client_, std::nullopt, 47, 8, 500).error()),
              "Error: Failed to query routable nodes near point\n\nCaused by:\n    ERROR: relation \"nodes\" does not exist\n");

    ASSERT_TRUE(client_->exec("SET search_path TO wide, public").has_value());
    EXPECT_EQ(qr::render_error_report(qr::load_edges(*client_, std::nullopt).error()),
              "Error: Failed to query routing edges\n\nCaused by:\n"
              "    Column 3 has type double precision, which cannot be read as real\n");
}

}  // namespace

