#pragma once
// Errors as values: a message plus the ordered chain of causes, outermost first.

#include <expected>
#include <string>
#include <utility>
#include <vector>

namespace quorvel_routing {

struct Error {
    std::string message;
    std::vector<std::string> causes;

    Error() = default;
    explicit Error(std::string msg) : message(std::move(msg)) {}
    Error(std::string msg, std::vector<std::string> chain)
        : message(std::move(msg)), causes(std::move(chain)) {}

    // Wraps this error: `outer` becomes the message and the old message the first cause.
    [[nodiscard]] Error context(std::string outer) const&;
    [[nodiscard]] Error context(std::string outer) &&;

    // The whole chain, outermost first (message, then every cause).
    [[nodiscard]] std::vector<std::string> chain() const;
};

template <class T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) { return std::unexpected(Error(std::move(message))); }
inline std::unexpected<Error> fail(Error error) { return std::unexpected(std::move(error)); }

// The operating system's message for an errno value: "No such file or directory (os error 2)".
[[nodiscard]] std::string os_error_message(int errnum);

// The error report the driver writes to standard error: "Error: " and the message, then
// "Caused by:" and the causes (indented by four blanks when there is one, numbered otherwise).
[[nodiscard]] std::string render_error_report(const Error& error);

}  // namespace quorvel_routing

// Propagates the error of a Result, otherwise yields its value (nothing for Result<void>).
// `auto x = QR_TRY(f());` or `QR_TRY(g());`
#define QR_TRY(...)                                                              \
    __extension__({                                                              \
        auto&& qr_try_result_ = (__VA_ARGS__);                                   \
        if (!qr_try_result_) return std::unexpected(std::move(qr_try_result_).error()); \
        std::move(qr_try_result_).value();                                       \
    })
