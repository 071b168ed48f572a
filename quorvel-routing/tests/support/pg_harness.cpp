#include "pg_harness.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace qr = quorvel_routing;

namespace qr_test {

namespace {

std::optional<std::string> env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

// A libpq key/value value in single quotes, so blanks and quotes survive.
std::string conninfo_value(std::string_view value) {
    std::string out = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    out += '\'';
    return out;
}

std::string unique_name(std::string_view tag) {
    std::string clean;
    for (char c : tag) {
        if (clean.size() >= 30) break;
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) clean += c;
        else if (c >= 'A' && c <= 'Z') clean += static_cast<char>(c - 'A' + 'a');
        else clean += '_';
    }
    std::random_device random;
    return fmt::format("qr_test_{}_{}_{:08x}", clean, ::getpid(), random());
}

qr::Result<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return qr::fail(fmt::format("Cannot read {}", path));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string PgServer::conninfo(std::string_view dbname) const {
    return fmt::format("host={} port={} user={} password={} dbname={}", conninfo_value(host), port, conninfo_value(user),
                       conninfo_value(password), conninfo_value(dbname));
}

qr::DatabaseConnection PgServer::connection(std::string_view dbname) const {
    qr::DatabaseConnection c;
    c.host = host;
    c.port = port;
    c.user = user;
    c.password = password;
    c.database = std::string(dbname);
    return c;
}

std::optional<PgServer> pg_server_from_env() {
    auto host = env("PGHOST");
    auto port = env("PGPORT");
    auto user = env("PGUSER");
    if (!host || !port || !user) return std::nullopt;
    PgServer server;
    server.host = *host;
    auto [end, ec] = std::from_chars(port->data(), port->data() + port->size(), server.port);
    if (ec != std::errc{} || end != port->data() + port->size()) return std::nullopt;
    server.user = *user;
    server.password = env("PGPASSWORD").value_or("");
    server.maintenance_db = env("PGDATABASE").value_or("postgres");
    return server;
}

bool database_required() { return env("REQUIRE_DATABASE").value_or("") == "1"; }

// This file lives in quorvel-routing/tests/support/ of the source tree.
std::string schema_path() {
    return (std::filesystem::path(__FILE__).parent_path() / "../../../sql/schema.sql").lexically_normal().string();
}

qr::Result<std::unique_ptr<ScratchDatabase>> ScratchDatabase::create(const PgServer& server, std::string_view tag) {
    const std::string schema = QR_TRY(read_file(schema_path()));
    auto admin = QR_TRY(qr::pg::Connection::open(server.conninfo(server.maintenance_db)));
    std::unique_ptr<ScratchDatabase> db(new ScratchDatabase(server, unique_name(tag)));
    // UTF8 with a Unicode-aware ctype whatever the cluster was made with, so that ILIKE folds
    // the case of letters like Ü as it does on a production database.
    QR_TRY(admin.exec(fmt::format("CREATE DATABASE {} TEMPLATE template0 ENCODING 'UTF8' LOCALE 'C.UTF-8'", db->name_)));
    // From here on the destructor drops the database again, whatever fails.
    auto sql = qr::pg::Connection::open(db->conninfo());
    if (!sql) return qr::fail(std::move(sql).error().context("Cannot connect to the new database"));
    db->sql_.emplace(std::move(*sql));
    QR_TRY(db->sql_->exec("CREATE EXTENSION postgis"));
    auto loaded = db->sql_->exec_script(schema);
    if (!loaded) return qr::fail(std::move(loaded).error().context(fmt::format("Cannot load {}", schema_path())));
    return db;
}

ScratchDatabase::~ScratchDatabase() {
    sql_.reset();
    auto admin = qr::pg::Connection::open(server_.conninfo(server_.maintenance_db));
    if (!admin) return;
    (void)admin->exec(fmt::format("DROP DATABASE IF EXISTS {} WITH (FORCE)", name_));
}

std::unique_ptr<ScratchDatabase> DatabaseTest::database_;

void DatabaseTest::SetUp() {
    if (database_) return;
    auto server = pg_server_from_env();
    if (!server) {
        if (database_required())
            FAIL() << "REQUIRE_DATABASE=1 but PGHOST, PGPORT and PGUSER do not name a server";
        GTEST_SKIP() << "no database server (PGHOST, PGPORT, PGUSER unset)";
    }
    const auto* suite = ::testing::UnitTest::GetInstance()->current_test_suite();
    auto created = ScratchDatabase::create(*server, suite ? suite->name() : "suite");
    if (!created) FAIL() << "Cannot set up the test database: " << qr::render_error_report(created.error());
    database_ = std::move(*created);
}

void DatabaseTest::TearDownTestSuite() { database_.reset(); }

}  // namespace qr_test
