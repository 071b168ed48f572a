#pragma once
// A read-only memory mapping of a whole file. The file descriptor is closed before `open`
// returns, on every path; the mapping stays valid until the object is destroyed.

#include "quorvel_routing/platform/error.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace quorvel_routing::platform {

class MappedFile {
public:
    // Which step failed, so callers can word their own message.
    enum class Failure : std::uint8_t { Open, Map };

    struct OpenError {
        Failure failure = Failure::Open;
        Error os_error;  // the operating system's error text as the message
    };

    // Opens `path` read-only, takes its length and maps all of it. An empty file gives an
    // object with no bytes (nothing is mapped).
    [[nodiscard]] static std::expected<MappedFile, OpenError> open(const std::filesystem::path& path);

    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    ~MappedFile();

    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
    [[nodiscard]] const std::uint8_t* data() const { return data_; }
    [[nodiscard]] std::size_t size() const { return size_; }

private:
    MappedFile(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    void release() noexcept;

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace quorvel_routing::platform
