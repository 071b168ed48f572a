#include "libpq_api.hpp"

#include <dlfcn.h>
#include <fmt/format.h>

#include <cstdlib>
#include <optional>

namespace quorvel_routing::pg::libpq {

namespace {

constexpr const char* kLibrary = "libpq.so.5";

struct Loaded {
    Api api;
    std::optional<Error> error;
};

template <class F>
bool resolve(void* handle, const char* name, F& slot, std::optional<Error>& error) {
    slot = reinterpret_cast<F>(::dlsym(handle, name));
    if (slot == nullptr && !error)
        error = Error(fmt::format("The PostgreSQL client library {} lacks the function {}", kLibrary, name));
    return slot != nullptr;
}

Loaded load_once() {
    Loaded loaded;
    void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        loaded.error = Error(why ? why : "unknown error")
                           .context(fmt::format("Failed to load the PostgreSQL client library {}", kLibrary));
        return loaded;
    }
    // The handle stays open for the life of the process.
    Api& a = loaded.api;
    resolve(handle, "PQbackendPID", a.PQbackendPID, loaded.error);
    resolve(handle, "PQclear", a.PQclear, loaded.error);
    resolve(handle, "PQcmdTuples", a.PQcmdTuples, loaded.error);
    resolve(handle, "PQconnectdbParams", a.PQconnectdbParams, loaded.error);
    resolve(handle, "PQerrorMessage", a.PQerrorMessage, loaded.error);
    resolve(handle, "PQexec", a.PQexec, loaded.error);
    resolve(handle, "PQexecParams", a.PQexecParams, loaded.error);
    resolve(handle, "PQfinish", a.PQfinish, loaded.error);
    resolve(handle, "PQfreemem", a.PQfreemem, loaded.error);
    resolve(handle, "PQftype", a.PQftype, loaded.error);
    resolve(handle, "PQgetCopyData", a.PQgetCopyData, loaded.error);
    resolve(handle, "PQgetResult", a.PQgetResult, loaded.error);
    resolve(handle, "PQgetisnull", a.PQgetisnull, loaded.error);
    resolve(handle, "PQgetlength", a.PQgetlength, loaded.error);
    resolve(handle, "PQgetvalue", a.PQgetvalue, loaded.error);
    resolve(handle, "PQnfields", a.PQnfields, loaded.error);
    resolve(handle, "PQntuples", a.PQntuples, loaded.error);
    resolve(handle, "PQparameterStatus", a.PQparameterStatus, loaded.error);
    resolve(handle, "PQputCopyData", a.PQputCopyData, loaded.error);
    resolve(handle, "PQputCopyEnd", a.PQputCopyEnd, loaded.error);
    resolve(handle, "PQresultErrorField", a.PQresultErrorField, loaded.error);
    resolve(handle, "PQresultErrorMessage", a.PQresultErrorMessage, loaded.error);
    resolve(handle, "PQresultStatus", a.PQresultStatus, loaded.error);
    resolve(handle, "PQsetNoticeReceiver", a.PQsetNoticeReceiver, loaded.error);
    resolve(handle, "PQstatus", a.PQstatus, loaded.error);
    return loaded;
}

const Loaded& loaded() {
    static const Loaded instance = load_once();
    return instance;
}

}  // namespace

Result<const Api*> load() {
    const Loaded& l = loaded();
    if (l.error) return fail(*l.error);
    return &l.api;
}

const Api& api() {
    const Loaded& l = loaded();
    if (l.error) std::abort();  // a connection exists only after a successful load
    return l.api;
}

}  // namespace quorvel_routing::pg::libpq
