#pragma once
// A small RAII layer over libpq. Statements go to the server as complete SQL text; nothing is
// bound as a parameter. Results come back in text form and are read by column position, each
// read checking the column's type and NULL.
//
// Everything is synchronous and runs on the calling thread; a Connection is not thread-safe.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quorvel_routing/platform/error.hpp"

struct pg_conn;
struct pg_result;

namespace quorvel_routing::pg {

using Oid = unsigned int;

// Built-in type OIDs the reads know about.
namespace type_oid {
inline constexpr Oid boolean = 16;
inline constexpr Oid name = 19;
inline constexpr Oid int8 = 20;
inline constexpr Oid int2 = 21;
inline constexpr Oid int4 = 23;
inline constexpr Oid text = 25;
inline constexpr Oid float4 = 700;
inline constexpr Oid float8 = 701;
inline constexpr Oid bpchar = 1042;
inline constexpr Oid varchar = 1043;
}  // namespace type_oid

// The SQL name of a type OID ("bigint", "double precision", ...), "type oid N" for others.
[[nodiscard]] std::string type_name(Oid oid);

namespace detail {
using ResultPtr = std::shared_ptr<pg_result>;  // released with PQclear
}  // namespace detail

// One row of a result. Keeps the whole result alive, so it may outlive the Rows it came from.
//
// get<T>(column) reads column `column` (0-based, select-list order) as T:
//   std::int64_t <- bigint          std::int32_t <- integer       std::int16_t <- smallint
//   double       <- double precision float        <- real          bool         <- boolean
//   std::string  <- text, varchar, char(n), name
// and std::optional<T> of each, which reads NULL as nullopt. Any other pairing, a NULL read into
// a non-optional T, or a position past the last column is an error naming the position and types.
class Row {
public:
    Row(detail::ResultPtr result, int row) : result_(std::move(result)), row_(row) {}

    template <class T>
    [[nodiscard]] Result<T> get(int column) const;

    [[nodiscard]] int column_count() const;
    // The column's type as the server reports it.
    [[nodiscard]] Oid column_type(int column) const;
    [[nodiscard]] bool is_null(int column) const;

private:
    detail::ResultPtr result_;
    int row_;
};

// Every row a statement returned, in the server's order.
class Rows {
public:
    Rows() = default;
    explicit Rows(detail::ResultPtr result);

    [[nodiscard]] std::size_t size() const { return count_; }
    [[nodiscard]] bool empty() const { return count_ == 0; }
    [[nodiscard]] Row operator[](std::size_t i) const { return Row(result_, static_cast<int>(i)); }

    class iterator {
    public:
        iterator(const Rows* rows, std::size_t i) : rows_(rows), i_(i) {}
        Row operator*() const { return (*rows_)[i_]; }
        iterator& operator++() { ++i_; return *this; }
        bool operator==(const iterator& other) const { return i_ == other.i_; }

    private:
        const Rows* rows_;
        std::size_t i_;
    };
    [[nodiscard]] iterator begin() const { return iterator(this, 0); }
    [[nodiscard]] iterator end() const { return iterator(this, count_); }

private:
    detail::ResultPtr result_;
    std::size_t count_ = 0;
};

class CopyIn;

class Connection {
public:
    // Connects with a key/value connection text ("host=... port=... user=... password=...
    // dbname=..."). TLS and GSS encryption are switched off and the client encoding is UTF8;
    // everything else is libpq's default. The error carries libpq's message (parse error of the
    // text, unreachable host, refused login, ...).
    static Result<Connection> open(std::string_view conninfo);

    Connection(Connection&&) noexcept;
    Connection& operator=(Connection&&) noexcept;
    ~Connection();

    // Runs one statement and returns every row. A text holding several statements is rejected
    // by the server, so only that one statement can ever run.
    [[nodiscard]] Result<Rows> query(std::string_view sql);
    // As query; none or one row, more than one row is an error.
    [[nodiscard]] Result<std::optional<Row>> query_opt(std::string_view sql);
    // As query; exactly one row, zero or several rows are an error.
    [[nodiscard]] Result<Row> query_one(std::string_view sql);

    // Runs one statement that returns no rows of interest (INSERT, CREATE, BEGIN, ...); yields
    // the number of rows it affected (0 where the command reports none).
    Result<std::int64_t> exec(std::string_view sql);
    // Runs a script of several statements separated by semicolons, as one request (no row
    // results). Without an explicit BEGIN/COMMIT in the text the statements run in one implicit
    // transaction. For trusted text only: schema files, test fixtures.
    Result<void> exec_script(std::string_view sql);

    // Starts "COPY table (...) FROM STDIN"; feed it through the returned CopyIn. No other
    // statement may run on this connection, and the Connection must not be moved, until the
    // CopyIn is finished or destroyed.
    [[nodiscard]] Result<CopyIn> copy_in(std::string_view copy_sql);

    // Called once, with the client's error text on one line, when a statement finds the
    // connection broken. Statements after that fail without contacting the server.
    void on_connection_lost(std::function<void(std::string_view)> handler);

    // Whether the server treats backslashes in '...' literals as ordinary characters (the
    // default since PostgreSQL 9.1). When it does not, a backslash must be doubled too.
    [[nodiscard]] bool standard_conforming_strings() const;

    // The server's backend process id of this session (tests use it to end the session).
    [[nodiscard]] int backend_pid() const;

private:
    explicit Connection(pg_conn* conn);
    Result<detail::ResultPtr> run(std::string_view sql);
    Error failure(pg_result* result, std::string fallback);
    void check_lost();

    friend class CopyIn;
    pg_conn* conn_ = nullptr;
    std::function<void(std::string_view)> lost_handler_;
    bool lost_reported_ = false;
};

// An open COPY ... FROM STDIN. Data is buffered and sent in large chunks. finish() ends the copy
// and yields the number of rows the server took; destroying an unfinished CopyIn aborts the copy
// and the server discards every row of it.
class CopyIn {
public:
    CopyIn(CopyIn&&) noexcept;
    CopyIn& operator=(CopyIn&&) = delete;
    ~CopyIn();

    // Appends raw COPY text data (rows ending in '\n').
    Result<void> put(std::string_view data);
    // Appends one row in COPY text format: the fields separated by tabs, escaped, nullopt
    // written as \N.
    Result<void> put_row(std::initializer_list<std::optional<std::string_view>> fields);
    Result<std::int64_t> finish();

    // Appends `field` to `line` escaped for COPY text format (backslash, tab, line feed,
    // carriage return).
    static void append_escaped(std::string& line, std::string_view field);

private:
    friend class Connection;
    explicit CopyIn(Connection* owner) : owner_(owner) {}
    Result<void> flush();

    Connection* owner_;
    std::string buffer_;
    bool done_ = false;
};

}  // namespace quorvel_routing::pg
