#pragma once
// Database tests run against a real PostgreSQL with PostGIS. The server comes from the
// PGHOST / PGPORT / PGUSER / PGPASSWORD / PGDATABASE variables (pg_virtualenv exports them).
// Without them the tests skip, unless REQUIRE_DATABASE=1 asks for a failure instead.
//
// Usage:
//   class ChargingDbTest : public qr_test::DatabaseTest {};
//   TEST_F(ChargingDbTest, Loads) {
//       ASSERT_TRUE(sql().exec_script("INSERT INTO charging_stations ...").has_value());
//       auto client = quorvel_routing::connect(connection());
//       ...
//   }
// A fixture that overrides SetUp calls DatabaseTest::SetUp() first and returns when
// IsSkipped() or HasFatalFailure().

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quorvel_routing/config.hpp"
#include "quorvel_routing/platform/error.hpp"
#include "quorvel_routing/platform/pg.hpp"

namespace qr_test {

struct PgServer {
    std::string host;
    std::uint16_t port = 0;
    std::string user;
    std::string password;
    std::string maintenance_db = "postgres";  // where databases are created and dropped from

    // A libpq connection text for `dbname` on this server (values quoted).
    [[nodiscard]] std::string conninfo(std::string_view dbname) const;
    // The same server as a configuration entry, for connect().
    [[nodiscard]] quorvel_routing::DatabaseConnection connection(std::string_view dbname) const;
};

// The server of the PG* variables; nullopt when PGHOST, PGPORT or PGUSER is unset.
std::optional<PgServer> pg_server_from_env();
// REQUIRE_DATABASE=1.
bool database_required();

// The schema file of the source tree.
std::string schema_path();

// A database of its own (unique name) with PostGIS and the schema, dropped on destruction.
class ScratchDatabase {
public:
    // `tag` goes into the name to tell the suites apart in the server's list.
    static quorvel_routing::Result<std::unique_ptr<ScratchDatabase>> create(const PgServer& server,
                                                                            std::string_view tag);
    ~ScratchDatabase();
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] const PgServer& server() const { return server_; }
    [[nodiscard]] quorvel_routing::DatabaseConnection connection() const { return server_.connection(name_); }
    [[nodiscard]] std::string conninfo() const { return server_.conninfo(name_); }
    // A connection of its own to the database, for fixture rows and checks.
    quorvel_routing::pg::Connection& sql() { return *sql_; }

private:
    ScratchDatabase(PgServer server, std::string name) : server_(std::move(server)), name_(std::move(name)) {}
    PgServer server_;
    std::string name_;
    std::optional<quorvel_routing::pg::Connection> sql_;
};

// Fixture: one scratch database per test suite, created by the first test that runs and dropped
// after the suite's last test.
class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override;
    static void TearDownTestSuite();

    static ScratchDatabase& database() { return *database_; }
    static quorvel_routing::pg::Connection& sql() { return database_->sql(); }
    static quorvel_routing::DatabaseConnection connection() { return database_->connection(); }

private:
    static std::unique_ptr<ScratchDatabase> database_;
};

}  // namespace qr_test
