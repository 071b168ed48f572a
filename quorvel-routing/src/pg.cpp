#include "quorvel_routing/platform/pg.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cstring>
#include <type_traits>

#include "libpq_api.hpp"
#include "quorvel_routing/platform/log.hpp"

namespace quorvel_routing::pg {

namespace {

const libpq::Api& lib() { return libpq::api(); }

constexpr std::string_view kLogTarget = "quorvel_routing::pg";
constexpr std::size_t kCopyChunk = 1 << 20;

std::string_view trim(std::string_view s) {
    constexpr std::string_view ws = " \t\r\n";
    auto first = s.find_first_not_of(ws);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(ws) - first + 1);
}

// libpq's messages end in a line break and indent continuation lines with a tab; keep the
// lines, drop the layout.
std::string tidy(std::string_view message) {
    std::string out;
    while (!message.empty()) {
        auto nl = message.find('\n');
        auto line = trim(message.substr(0, nl));
        if (!line.empty()) {
            if (!out.empty()) out += '\n';
            out += line;
        }
        if (nl == std::string_view::npos) break;
        message.remove_prefix(nl + 1);
    }
    return out;
}

// For a single line: libpq's separate messages joined with "; ", the tab-indented continuation
// lines (its hints) joined to their message with a blank.
std::string one_line(std::string_view message) {
    std::string out;
    while (!message.empty()) {
        auto nl = message.find('\n');
        auto raw = message.substr(0, nl);
        auto line = trim(raw);
        if (!line.empty()) {
            if (!out.empty()) out += raw.front() == '\t' || raw.front() == ' ' ? " " : "; ";
            out += line;
        }
        if (nl == std::string_view::npos) break;
        message.remove_prefix(nl + 1);
    }
    return out;
}

void forward_notice(void*, const PGresult* result) {
    log::debug(kLogTarget, "{}", one_line(lib().PQresultErrorMessage(result)));
}

detail::ResultPtr own(PGresult* result) { return detail::ResultPtr(result, lib().PQclear); }

// A COPY sent where rows or a plain command were expected: end it at once, so the connection
// stays usable, and say so.
Error refuse_copy(PGconn* conn, ExecStatusType status) {
    if (status == PGRES_COPY_IN) {
        lib().PQputCopyEnd(conn, "COPY FROM STDIN must be run through copy_in");
    } else {
        char* data = nullptr;
        while (lib().PQgetCopyData(conn, &data, 0) > 0) lib().PQfreemem(data);
    }
    while (PGresult* r = lib().PQgetResult(conn)) lib().PQclear(r);
    return Error(status == PGRES_COPY_IN ? "Statement started a COPY FROM STDIN; use copy_in for it"
                                         : "Statement started a COPY TO STDOUT, which is not supported");
}

bool is_copy(ExecStatusType status) {
    return status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH;
}

// What a read of T accepts and how the error calls it.
template <class T>
struct Reader;

template <>
struct Reader<std::int64_t> {
    static constexpr std::string_view wanted = "bigint";
    static bool accepts(Oid oid) { return oid == type_oid::int8; }
};
template <>
struct Reader<std::int32_t> {
    static constexpr std::string_view wanted = "integer";
    static bool accepts(Oid oid) { return oid == type_oid::int4; }
};
template <>
struct Reader<std::int16_t> {
    static constexpr std::string_view wanted = "smallint";
    static bool accepts(Oid oid) { return oid == type_oid::int2; }
};
template <>
struct Reader<double> {
    static constexpr std::string_view wanted = "double precision";
    static bool accepts(Oid oid) { return oid == type_oid::float8; }
};
template <>
struct Reader<float> {
    static constexpr std::string_view wanted = "real";
    static bool accepts(Oid oid) { return oid == type_oid::float4; }
};
template <>
struct Reader<bool> {
    static constexpr std::string_view wanted = "boolean";
    static bool accepts(Oid oid) { return oid == type_oid::boolean; }
};
template <>
struct Reader<std::string> {
    static constexpr std::string_view wanted = "text";
    static bool accepts(Oid oid) {
        return oid == type_oid::text || oid == type_oid::varchar || oid == type_oid::bpchar ||
               oid == type_oid::name;
    }
};

template <class T>
struct Unwrap {
    using value = T;
    static constexpr bool optional = false;
};
template <class T>
struct Unwrap<std::optional<T>> {
    using value = T;
    static constexpr bool optional = true;
};

// Parses the server's text form of a value of an accepted type.
template <class T>
std::optional<T> parse_value(std::string_view raw) {
    if constexpr (std::is_same_v<T, std::string>) {
        return std::string(raw);
    } else if constexpr (std::is_same_v<T, bool>) {
        if (raw == "t") return true;
        if (raw == "f") return false;
        return std::nullopt;
    } else {
        // Integers in decimal; floats in shortest round-trip form, or NaN / Infinity / -Infinity,
        // which from_chars reads as well.
        T value{};
        auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), value);
        if (ec != std::errc{} || end != raw.data() + raw.size()) return std::nullopt;
        return value;
    }
}

}  // namespace

std::string type_name(Oid oid) {
    switch (oid) {
        case type_oid::boolean: return "boolean";
        case type_oid::name: return "name";
        case type_oid::int8: return "bigint";
        case type_oid::int2: return "smallint";
        case type_oid::int4: return "integer";
        case type_oid::text: return "text";
        case type_oid::float4: return "real";
        case type_oid::float8: return "double precision";
        case type_oid::bpchar: return "character";
        case type_oid::varchar: return "character varying";
        case 17: return "bytea";
        case 114: return "json";
        case 1082: return "date";
        case 1114: return "timestamp without time zone";
        case 1184: return "timestamp with time zone";
        case 1700: return "numeric";
        case 3802: return "jsonb";
        default: return fmt::format("type oid {}", oid);
    }
}

// ---------------------------------------------------------------------------------------------
// Row and Rows

int Row::column_count() const { return lib().PQnfields(result_.get()); }
Oid Row::column_type(int column) const { return lib().PQftype(result_.get(), column); }
bool Row::is_null(int column) const { return lib().PQgetisnull(result_.get(), row_, column) != 0; }

template <class T>
Result<T> Row::get(int column) const {
    using Value = typename Unwrap<T>::value;
    using R = Reader<Value>;
    const int columns = column_count();
    if (column < 0 || column >= columns)
        return fail(fmt::format("Column {} does not exist: the row has {} columns", column, columns));
    const Oid oid = column_type(column);
    if (!R::accepts(oid))
        return fail(fmt::format("Column {} has type {}, which cannot be read as {}", column,
                                type_name(oid), R::wanted));
    if (is_null(column)) {
        if constexpr (Unwrap<T>::optional) return T{};
        else
            return fail(fmt::format("Column {} ({}) is NULL where a value is required", column,
                                    type_name(oid)));
    }
    std::string_view raw(lib().PQgetvalue(result_.get(), row_, column),
                         static_cast<std::size_t>(lib().PQgetlength(result_.get(), row_, column)));
    auto value = parse_value<Value>(raw);
    if (!value)
        return fail(fmt::format("Column {} ({}): cannot read the value '{}' as {}", column,
                                type_name(oid), raw, R::wanted));
    return T(std::move(*value));
}

template Result<std::int64_t> Row::get<std::int64_t>(int) const;
template Result<std::int32_t> Row::get<std::int32_t>(int) const;
template Result<std::int16_t> Row::get<std::int16_t>(int) const;
template Result<double> Row::get<double>(int) const;
template Result<float> Row::get<float>(int) const;
template Result<bool> Row::get<bool>(int) const;
template Result<std::string> Row::get<std::string>(int) const;
template Result<std::optional<std::int64_t>> Row::get<std::optional<std::int64_t>>(int) const;
template Result<std::optional<std::int32_t>> Row::get<std::optional<std::int32_t>>(int) const;
template Result<std::optional<std::int16_t>> Row::get<std::optional<std::int16_t>>(int) const;
template Result<std::optional<double>> Row::get<std::optional<double>>(int) const;
template Result<std::optional<float>> Row::get<std::optional<float>>(int) const;
template Result<std::optional<bool>> Row::get<std::optional<bool>>(int) const;
template Result<std::optional<std::string>> Row::get<std::optional<std::string>>(int) const;

Rows::Rows(detail::ResultPtr result)
    : result_(std::move(result)), count_(static_cast<std::size_t>(lib().PQntuples(result_.get()))) {}

// ---------------------------------------------------------------------------------------------
// Connection

Connection::Connection(pg_conn* conn) : conn_(conn) {}

Connection::Connection(Connection&& other) noexcept
    : conn_(std::exchange(other.conn_, nullptr)),
      lost_handler_(std::move(other.lost_handler_)),
      lost_reported_(other.lost_reported_) {}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        if (conn_) lib().PQfinish(conn_);
        conn_ = std::exchange(other.conn_, nullptr);
        lost_handler_ = std::move(other.lost_handler_);
        lost_reported_ = other.lost_reported_;
    }
    return *this;
}

Connection::~Connection() {
    if (conn_) lib().PQfinish(conn_);
}

Result<Connection> Connection::open(std::string_view conninfo) {
    QR_TRY(libpq::load());
    // The text is expanded as the first entry, so the entries after it win over anything it says.
    const std::string text(conninfo);
    const char* keys[] = {"dbname", "sslmode", "gssencmode", "client_encoding", nullptr};
    const char* values[] = {text.c_str(), "disable", "disable", "UTF8", nullptr};
    PGconn* conn = lib().PQconnectdbParams(keys, values, /*expand_dbname=*/1);
    if (conn == nullptr) return fail("out of memory while connecting");
    if (lib().PQstatus(conn) != CONNECTION_OK) {
        std::string message = tidy(lib().PQerrorMessage(conn));
        lib().PQfinish(conn);
        if (message.empty()) message = "connection failed";
        return fail(std::move(message));
    }
    // libpq would print server notices on standard error; they are of no interest to a user.
    lib().PQsetNoticeReceiver(conn, forward_notice, nullptr);
    return Connection(conn);
}

void Connection::on_connection_lost(std::function<void(std::string_view)> handler) {
    lost_handler_ = std::move(handler);
}

bool Connection::standard_conforming_strings() const {
    const char* value = lib().PQparameterStatus(conn_, "standard_conforming_strings");
    return value != nullptr && std::strcmp(value, "on") == 0;
}

int Connection::backend_pid() const { return lib().PQbackendPID(conn_); }

void Connection::check_lost() {
    if (lib().PQstatus(conn_) != CONNECTION_BAD || lost_reported_) return;
    lost_reported_ = true;
    if (lost_handler_) lost_handler_(one_line(lib().PQerrorMessage(conn_)));
}

Error Connection::failure(pg_result* result, std::string fallback) {
    std::string message;
    const char* primary = result ? lib().PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (primary != nullptr && lib().PQstatus(conn_) == CONNECTION_OK) {
        const char* severity = lib().PQresultErrorField(result, PG_DIAG_SEVERITY);
        message = severity ? fmt::format("{}: {}", severity, primary) : std::string(primary);
    } else {
        // Client-side failures and a lost connection: libpq's own account says the most.
        message = tidy(lib().PQerrorMessage(conn_));
    }
    if (message.empty()) message = std::move(fallback);
    check_lost();
    return Error(std::move(message));
}

Result<detail::ResultPtr> Connection::run(std::string_view sql) {
    if (sql.find('\0') != std::string_view::npos)
        return fail("Statement text contains a NUL byte");
    if (conn_ == nullptr || lib().PQstatus(conn_) == CONNECTION_BAD)
        return fail("Connection to the database is closed");
    const std::string text(sql);
    // The extended protocol: the server refuses a text with more than one statement.
    auto result = own(lib().PQexecParams(conn_, text.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0));
    const auto status = result ? lib().PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK || is_copy(status)) return result;
    return fail(failure(result.get(), "Statement failed"));
}

Result<Rows> Connection::query(std::string_view sql) {
    auto result = QR_TRY(run(sql));
    if (is_copy(lib().PQresultStatus(result.get()))) return fail(refuse_copy(conn_, lib().PQresultStatus(result.get())));
    return Rows(std::move(result));
}

Result<std::optional<Row>> Connection::query_opt(std::string_view sql) {
    auto rows = QR_TRY(query(sql));
    if (rows.size() > 1)
        return fail(fmt::format("Query returned {} rows where at most one was expected", rows.size()));
    if (rows.empty()) return std::optional<Row>();
    return std::optional<Row>(rows[0]);
}

Result<Row> Connection::query_one(std::string_view sql) {
    auto rows = QR_TRY(query(sql));
    if (rows.size() != 1)
        return fail(fmt::format("Query returned {} rows where exactly one was expected", rows.size()));
    return rows[0];
}

Result<std::int64_t> Connection::exec(std::string_view sql) {
    auto result = QR_TRY(run(sql));
    if (is_copy(lib().PQresultStatus(result.get()))) return fail(refuse_copy(conn_, lib().PQresultStatus(result.get())));
    const char* affected = lib().PQcmdTuples(result.get());
    std::int64_t count = 0;
    std::from_chars(affected, affected + std::strlen(affected), count);
    return count;
}

Result<void> Connection::exec_script(std::string_view sql) {
    if (sql.find('\0') != std::string_view::npos)
        return fail("Statement text contains a NUL byte");
    if (conn_ == nullptr || lib().PQstatus(conn_) == CONNECTION_BAD)
        return fail("Connection to the database is closed");
    const std::string text(sql);
    auto result = own(lib().PQexec(conn_, text.c_str()));
    const auto status = result ? lib().PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK || status == PGRES_EMPTY_QUERY)
        return {};
    if (is_copy(status)) return fail(refuse_copy(conn_, status));
    return fail(failure(result.get(), "Script failed"));
}

Result<CopyIn> Connection::copy_in(std::string_view copy_sql) {
    auto result = QR_TRY(run(copy_sql));
    const auto status = lib().PQresultStatus(result.get());
    if (is_copy(status) && status != PGRES_COPY_IN) return fail(refuse_copy(conn_, status));
    if (status != PGRES_COPY_IN) return fail("Statement did not start a COPY FROM STDIN");
    return CopyIn(this);
}

// ---------------------------------------------------------------------------------------------
// CopyIn

CopyIn::CopyIn(CopyIn&& other) noexcept
    : owner_(other.owner_), buffer_(std::move(other.buffer_)), done_(std::exchange(other.done_, true)) {}

CopyIn::~CopyIn() {
    if (done_ || owner_ == nullptr || owner_->conn_ == nullptr) return;
    lib().PQputCopyEnd(owner_->conn_, "COPY abandoned by the client");
    while (PGresult* r = lib().PQgetResult(owner_->conn_)) lib().PQclear(r);
}

void CopyIn::append_escaped(std::string& line, std::string_view field) {
    for (char c : field) {
        switch (c) {
            case '\\': line += "\\\\"; break;
            case '\t': line += "\\t"; break;
            case '\n': line += "\\n"; break;
            case '\r': line += "\\r"; break;
            default: line += c;
        }
    }
}

Result<void> CopyIn::put(std::string_view data) {
    if (done_) return fail("COPY is already finished");
    buffer_.append(data);
    if (buffer_.size() >= kCopyChunk) return flush();
    return {};
}

Result<void> CopyIn::put_row(std::initializer_list<std::optional<std::string_view>> fields) {
    if (done_) return fail("COPY is already finished");
    bool first = true;
    for (const auto& field : fields) {
        if (!first) buffer_ += '\t';
        first = false;
        if (field) append_escaped(buffer_, *field);
        else buffer_ += "\\N";
    }
    buffer_ += '\n';
    if (buffer_.size() >= kCopyChunk) return flush();
    return {};
}

Result<void> CopyIn::flush() {
    if (buffer_.empty()) return {};
    PGconn* conn = owner_->conn_;
    if (lib().PQputCopyData(conn, buffer_.data(), static_cast<int>(buffer_.size())) != 1) {
        Error error(tidy(lib().PQerrorMessage(conn)));
        owner_->check_lost();
        return fail(std::move(error));
    }
    buffer_.clear();
    return {};
}

Result<std::int64_t> CopyIn::finish() {
    if (done_) return fail("COPY is already finished");
    auto flushed = flush();
    done_ = true;
    PGconn* conn = owner_->conn_;
    if (!flushed) {
        lib().PQputCopyEnd(conn, "client error");
        while (PGresult* r = lib().PQgetResult(conn)) lib().PQclear(r);
        return fail(std::move(flushed).error());
    }
    if (lib().PQputCopyEnd(conn, nullptr) != 1) {
        Error error(tidy(lib().PQerrorMessage(conn)));
        owner_->check_lost();
        return fail(std::move(error));
    }
    std::optional<Error> error;
    std::int64_t rows = 0;
    while (PGresult* raw = lib().PQgetResult(conn)) {
        auto result = own(raw);
        if (lib().PQresultStatus(raw) == PGRES_COMMAND_OK) {
            const char* n = lib().PQcmdTuples(raw);
            std::from_chars(n, n + std::strlen(n), rows);
        } else if (!error) {
            error = owner_->failure(raw, "COPY failed");
        }
    }
    if (error) return fail(std::move(*error));
    return rows;
}

}  // namespace quorvel_routing::pg
