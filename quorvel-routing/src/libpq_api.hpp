#pragma once
// libpq, loaded on first use instead of at program start. Linking it pulls in about twenty
// libraries (TLS, Kerberos, LDAP) whose loading costs several milliseconds on every run, and most
// runs (a car route on the graph file) never talk to the database.

#include <libpq-fe.h>

#include "quorvel_routing/platform/error.hpp"

namespace quorvel_routing::pg::libpq {

struct Api {
    decltype(&::PQbackendPID) PQbackendPID = nullptr;
    decltype(&::PQclear) PQclear = nullptr;
    decltype(&::PQcmdTuples) PQcmdTuples = nullptr;
    decltype(&::PQconnectdbParams) PQconnectdbParams = nullptr;
    decltype(&::PQerrorMessage) PQerrorMessage = nullptr;
    decltype(&::PQexec) PQexec = nullptr;
    decltype(&::PQexecParams) PQexecParams = nullptr;
    decltype(&::PQfinish) PQfinish = nullptr;
    decltype(&::PQfreemem) PQfreemem = nullptr;
    decltype(&::PQftype) PQftype = nullptr;
    decltype(&::PQgetCopyData) PQgetCopyData = nullptr;
    decltype(&::PQgetResult) PQgetResult = nullptr;
    decltype(&::PQgetisnull) PQgetisnull = nullptr;
    decltype(&::PQgetlength) PQgetlength = nullptr;
    decltype(&::PQgetvalue) PQgetvalue = nullptr;
    decltype(&::PQnfields) PQnfields = nullptr;
    decltype(&::PQntuples) PQntuples = nullptr;
    decltype(&::PQparameterStatus) PQparameterStatus = nullptr;
    decltype(&::PQputCopyData) PQputCopyData = nullptr;
    decltype(&::PQputCopyEnd) PQputCopyEnd = nullptr;
    decltype(&::PQresultErrorField) PQresultErrorField = nullptr;
    decltype(&::PQresultErrorMessage) PQresultErrorMessage = nullptr;
    decltype(&::PQresultStatus) PQresultStatus = nullptr;
    decltype(&::PQsetNoticeReceiver) PQsetNoticeReceiver = nullptr;
    decltype(&::PQstatus) PQstatus = nullptr;
};

// Loads the library and its functions once; later calls return the same table or error.
[[nodiscard]] Result<const Api*> load();

// The loaded table. Only valid after load() succeeded (every connection is opened through it).
[[nodiscard]] const Api& api();

}  // namespace quorvel_routing::pg::libpq
