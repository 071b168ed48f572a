// The libpq layer against a real server: column reads and their errors, row-count operations,
// one statement per request, COPY, and a connection that breaks under the client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <bit>
#include <cmath>
#include <limits>

#include "pg_harness.hpp"
#include "quorvel_routing/platform/pg.hpp"

namespace qr = quorvel_routing;
namespace pg = quorvel_routing::pg;
using ::testing::HasSubstr;

namespace {

class PgTest : public qr_test::DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        auto opened = pg::Connection::open(database().conninfo());
        ASSERT_TRUE(opened.has_value()) << opened.error().message;
        client_.emplace(std::move(*opened));
    }
    pg::Connection& client() { return *client_; }

    std::optional<pg::Connection> client_;
};

template <class T>
std::string error_of(const qr::Result<T>& r) {
    return r ? std::string("<no error>") : r.error().message;
}

// One row with a column of every readable type, then a NULL of each.
constexpr const char* kTypedRow =
    "SELECT 9223372036854775807::bigint, '-2147483648'::integer, '-32768'::smallint, "
    "0.1::double precision, 431.2::real, true, 'Zürich'::text, 'x'::varchar(5), 'ab'::char(3), "
    "NULL::bigint, NULL::real, NULL::text, NULL::boolean";

TEST_F(PgTest, ReadsEveryColumnTypeExactly) {
    auto row = client().query_one(kTypedRow);
    ASSERT_TRUE(row.has_value()) << row.error().message;
    EXPECT_EQ(row->column_count(), 13);
    EXPECT_EQ(row->get<std::int64_t>(0).value(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(row->get<std::int32_t>(1).value(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(row->get<std::int16_t>(2).value(), -32768);
    // The server's shortest round-trip text gives back the very same binary values.
    EXPECT_EQ(std::bit_cast<std::uint64_t>(row->get<double>(3).value()), std::bit_cast<std::uint64_t>(0.1));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(row->get<float>(4).value()), std::bit_cast<std::uint32_t>(431.2f));
    EXPECT_EQ(row->get<bool>(5).value(), true);
    EXPECT_EQ(row->get<std::string>(6).value(), "Zürich");
    EXPECT_EQ(row->get<std::string>(7).value(), "x");
    EXPECT_EQ(row->get<std::string>(8).value(), "ab ");
    EXPECT_EQ(row->get<std::optional<std::int64_t>>(0).value(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(row->get<std::optional<std::int64_t>>(9).value(), std::nullopt);
    EXPECT_EQ(row->get<std::optional<float>>(10).value(), std::nullopt);
    EXPECT_EQ(row->get<std::optional<std::string>>(11).value(), std::nullopt);
    EXPECT_EQ(row->get<std::optional<bool>>(12).value(), std::nullopt);
}

TEST_F(PgTest, MismatchedTypeNullAndMissingColumnNameThePositionAndTypes) {
    auto row = client().query_one(kTypedRow);
    ASSERT_TRUE(row.has_value()) << row.error().message;
    struct Case {
        std::string got;
        std::string want;
    };
    const Case cases[] = {
        {error_of(row->get<float>(3)), "Column 3 has type double precision, which cannot be read as real"},
        {error_of(row->get<double>(4)), "Column 4 has type real, which cannot be read as double precision"},
        {error_of(row->get<std::int64_t>(1)), "Column 1 has type integer, which cannot be read as bigint"},
        {error_of(row->get<std::int16_t>(0)), "Column 0 has type bigint, which cannot be read as smallint"},
        {error_of(row->get<std::string>(0)), "Column 0 has type bigint, which cannot be read as text"},
        {error_of(row->get<bool>(6)), "Column 6 has type text, which cannot be read as boolean"},
        {error_of(row->get<std::optional<double>>(10)), "Column 10 has type real, which cannot be read as double precision"},
        {error_of(row->get<std::int64_t>(9)), "Column 9 (bigint) is NULL where a value is required"},
        {error_of(row->get<float>(10)), "Column 10 (real) is NULL where a value is required"},
        {error_of(row->get<std::string>(11)), "Column 11 (text) is NULL where a value is required"},
        {error_of(row->get<std::int64_t>(13)), "Column 13 does not exist: the row has 13 columns"},
        {error_of(row->get<std::int64_t>(-1)), "Column -1 does not exist: the row has 13 columns"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want);

    auto odd = client().query_one("SELECT 1.5::numeric, ST_MakePoint(1, 2)");
    ASSERT_TRUE(odd.has_value()) << odd.error().message;
    EXPECT_EQ(error_of(odd->get<double>(0)), "Column 0 has type numeric, which cannot be read as double precision");
    EXPECT_THAT(error_of(odd->get<std::string>(1)), ::testing::MatchesRegex("Column 1 has type type oid [0-9]+, which cannot be read as text"));
}

TEST_F(PgTest, NonFiniteAndExtremeFloatsRoundTrip) {
    auto row = client().query_one(
        "SELECT 'NaN'::float8, 'Infinity'::float8, '-Infinity'::float4, 1e308::float8, "
        "4.9e-324::float8, 3.4028235e38::float4, -0.0::float8");
    ASSERT_TRUE(row.has_value()) << row.error().message;
    EXPECT_TRUE(std::isnan(row->get<double>(0).value()));
    EXPECT_EQ(row->get<double>(1).value(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(row->get<float>(2).value(), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(row->get<double>(3).value(), 1e308);
    EXPECT_EQ(row->get<double>(4).value(), 4.9e-324);
    EXPECT_EQ(row->get<float>(5).value(), std::numeric_limits<float>::max());
    EXPECT_TRUE(std::signbit(row->get<double>(6).value()));
}

TEST_F(PgTest, RowCountOperations) {
    struct Case {
        const char* sql;
        std::size_t rows;
        const char* opt_error;  // nullptr: succeeds
        const char* one_error;
    };
    const Case cases[] = {
        {"SELECT 1::bigint WHERE false", 0, nullptr, "Query returned 0 rows where exactly one was expected"},
        {"SELECT 7::bigint", 1, nullptr, nullptr},
        {"SELECT generate_series(1, 3)::bigint", 3, "Query returned 3 rows where at most one was expected",
         "Query returned 3 rows where exactly one was expected"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sql);
        auto all = client().query(c.sql);
        ASSERT_TRUE(all.has_value()) << all.error().message;
        EXPECT_EQ(all->size(), c.rows);
        std::int64_t sum = 0;
        for (const auto& row : *all) sum += row.get<std::int64_t>(0).value();
        EXPECT_EQ(sum, c.rows == 3 ? 6 : c.rows == 1 ? 7 : 0);

        auto opt = client().query_opt(c.sql);
        if (c.opt_error) {
            EXPECT_EQ(error_of(opt), c.opt_error);
        } else {
            ASSERT_TRUE(opt.has_value()) << opt.error().message;
            EXPECT_EQ(opt->has_value(), c.rows == 1);
        }
        auto one = client().query_one(c.sql);
        if (c.one_error) EXPECT_EQ(error_of(one), c.one_error);
        else EXPECT_EQ(one.value().get<std::int64_t>(0).value(), 7);
    }
}

TEST_F(PgTest, RowsOutliveTheirResultSet) {
    std::optional<pg::Row> kept;
    {
        auto rows = client().query("SELECT 'kept'::text");
        ASSERT_TRUE(rows.has_value());
        kept = (*rows)[0];
    }
    EXPECT_EQ(kept->get<std::string>(0).value(), "kept");
}

TEST_F(PgTest, OnlyOneStatementPerRequestAndServerErrorsComeBackAsValues) {
    ASSERT_TRUE(sql().exec_script("INSERT INTO nodes VALUES (1, 47, 8, ST_SetSRID(ST_MakePoint(8, 47), 4326))").has_value());

    // A second statement in the text is refused before anything runs.
    auto stacked = client().query("SELECT 1; DROP TABLE nodes");
    EXPECT_EQ(error_of(stacked), "ERROR: cannot insert multiple commands into a prepared statement");
    EXPECT_EQ(error_of(client().exec("DELETE FROM nodes; DROP TABLE nodes")),
              "ERROR: cannot insert multiple commands into a prepared statement");
    EXPECT_EQ(client().query_one("SELECT count(*) FROM nodes").value().get<std::int64_t>(0).value(), 1);

    EXPECT_EQ(error_of(client().query("SELECT * FROM no_such_table")), "ERROR: relation \"no_such_table\" does not exist");
    EXPECT_EQ(error_of(client().query("SELEC 1")), "ERROR: syntax error at or near \"SELEC\"");
    EXPECT_EQ(error_of(client().query(std::string_view("SELECT 1\0; DROP TABLE nodes", 27))),
              "Statement text contains a NUL byte");
    // The session is still usable after every refusal.
    EXPECT_EQ(client().query_one("SELECT 2::bigint").value().get<std::int64_t>(0).value(), 2);
}

TEST_F(PgTest, ExecCountsRowsAndScriptsRunAsOneTransaction) {
    ASSERT_TRUE(client().exec("CREATE TEMP TABLE t (v bigint)").has_value());
    EXPECT_EQ(client().exec("INSERT INTO t SELECT generate_series(1, 4)").value(), 4);
    EXPECT_EQ(client().exec("UPDATE t SET v = v + 1 WHERE v > 2").value(), 2);

    // The failing last statement takes the first one with it.
    auto failed = client().exec_script("INSERT INTO t VALUES (100); INSERT INTO t VALUES ('x')");
    EXPECT_EQ(error_of(failed), "ERROR: invalid input syntax for type bigint: \"x\"");
    EXPECT_EQ(client().query_one("SELECT count(*) FROM t").value().get<std::int64_t>(0).value(), 4);

    // Explicit transactions through exec.
    ASSERT_TRUE(client().exec("BEGIN").has_value());
    ASSERT_TRUE(client().exec("DELETE FROM t").has_value());
    ASSERT_TRUE(client().exec("ROLLBACK").has_value());
    EXPECT_EQ(client().query_one("SELECT count(*) FROM t").value().get<std::int64_t>(0).value(), 4);
}

TEST_F(PgTest, CopyInLoadsEscapedFieldsAndNulls) {
    ASSERT_TRUE(client().exec("CREATE TEMP TABLE c (id bigint, note text, power real)").has_value());
    auto copy = client().copy_in("COPY c (id, note, power) FROM STDIN");
    ASSERT_TRUE(copy.has_value()) << copy.error().message;
    ASSERT_TRUE(copy->put_row({"1", "tab\there\nnew line \\N back\\slash\r", "22.5"}).has_value());
    ASSERT_TRUE(copy->put_row({"2", std::nullopt, std::nullopt}).has_value());
    ASSERT_TRUE(copy->put("3\tplain\t11\n").has_value());
    EXPECT_EQ(copy->finish().value(), 3);

    auto rows = client().query("SELECT id, note, power FROM c ORDER BY id");
    ASSERT_TRUE(rows.has_value());
    ASSERT_EQ(rows->size(), 3u);
    EXPECT_EQ((*rows)[0].get<std::string>(1).value(), "tab\there\nnew line \\N back\\slash\r");
    EXPECT_EQ((*rows)[0].get<float>(2).value(), 22.5f);
    EXPECT_EQ((*rows)[1].get<std::optional<std::string>>(1).value(), std::nullopt);
    EXPECT_EQ((*rows)[1].get<std::optional<float>>(2).value(), std::nullopt);
    EXPECT_EQ((*rows)[2].get<std::string>(1).value(), "plain");
}

TEST_F(PgTest, CopyInFailuresLeaveNoRowsAndAUsableConnection) {
    ASSERT_TRUE(client().exec("CREATE TEMP TABLE c (id bigint)").has_value());
    {
        auto copy = client().copy_in("COPY c FROM STDIN");
        ASSERT_TRUE(copy.has_value());
        ASSERT_TRUE(copy->put("1\n2\n").has_value());
        // Dropped unfinished: the server discards the rows.
    }
    {
        auto copy = client().copy_in("COPY c FROM STDIN");
        ASSERT_TRUE(copy.has_value());
        ASSERT_TRUE(copy->put("3\nfour\n").has_value());
        EXPECT_EQ(error_of(copy->finish()), "ERROR: invalid input syntax for type bigint: \"four\"");
        EXPECT_EQ(error_of(copy->finish()), "COPY is already finished");
    }
    EXPECT_EQ(client().query_one("SELECT count(*) FROM c").value().get<std::int64_t>(0).value(), 0);
    EXPECT_EQ(error_of(client().copy_in("SELECT 1")), "Statement did not start a COPY FROM STDIN");
    EXPECT_EQ(error_of(client().query("COPY c FROM STDIN")), "Statement started a COPY FROM STDIN; use copy_in for it");
    EXPECT_EQ(error_of(client().exec("COPY c TO STDOUT")), "Statement started a COPY TO STDOUT, which is not supported");
    EXPECT_EQ(error_of(client().copy_in("COPY c TO STDOUT")), "Statement started a COPY TO STDOUT, which is not supported");
    EXPECT_EQ(error_of(client().exec_script("SELECT 1; COPY c FROM STDIN")),
              "Statement started a COPY FROM STDIN; use copy_in for it");
    EXPECT_EQ(client().exec("INSERT INTO c VALUES (5)").value(), 1);
}

TEST_F(PgTest, TlsStaysOffWhateverTheTextAsks) {
    // The test server has no TLS; a text asking for it still connects over the plain socket.
    auto opened = pg::Connection::open(database().conninfo() + " sslmode=require");
    ASSERT_TRUE(opened.has_value()) << opened.error().message;
    auto ssl = opened->query_one("SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()");
    EXPECT_EQ(ssl.value().get<bool>(0).value(), false);
    EXPECT_TRUE(opened->standard_conforming_strings());
    EXPECT_EQ(opened->query_one("SHOW client_encoding").value().get<std::string>(0).value(), "UTF8");
}

TEST_F(PgTest, ABrokenConnectionIsReportedOnceAndLaterStatementsFail) {
    std::vector<std::string> reported;
    client().on_connection_lost([&](std::string_view m) { reported.emplace_back(m); });
    auto ended = sql().query_one(fmt::format("SELECT pg_terminate_backend({})", client().backend_pid()));
    ASSERT_TRUE(ended.has_value()) << ended.error().message;
    ASSERT_TRUE(ended->get<bool>(0).value());

    auto first = client().query("SELECT 1");
    ASSERT_FALSE(first.has_value());
    EXPECT_THAT(first.error().message, HasSubstr("terminating connection due to administrator command"));
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_THAT(reported[0], HasSubstr("terminating connection due to administrator command"));
    EXPECT_EQ(reported[0].find('\n'), std::string::npos);

    EXPECT_EQ(error_of(client().query("SELECT 1")), "Connection to the database is closed");
    EXPECT_EQ(error_of(client().exec("SELECT 1")), "Connection to the database is closed");
    EXPECT_EQ(reported.size(), 1u);
}

}  // namespace
