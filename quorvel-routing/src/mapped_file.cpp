#include "quorvel_routing/platform/mapped_file.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel_routing::platform {

namespace {
// Closes the descriptor when the scope ends, whichever way `open` leaves.
struct FdGuard {
    int fd;
    ~FdGuard() {
        if (fd >= 0) ::close(fd);
    }
};
}  // namespace

std::expected<MappedFile, MappedFile::OpenError> MappedFile::open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(OpenError{Failure::Open, Error(os_error_message(errno))});
    FdGuard guard{fd};

    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::unexpected(OpenError{Failure::Map, Error(os_error_message(errno))});
    if (st.st_size < 0) return std::unexpected(OpenError{Failure::Map, Error(os_error_message(EINVAL))});
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size == 0) return MappedFile(nullptr, 0);

    void* addr = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (addr == MAP_FAILED) return std::unexpected(OpenError{Failure::Map, Error(os_error_message(errno))});
    return MappedFile(static_cast<const std::uint8_t*>(addr), size);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

MappedFile::~MappedFile() { release(); }

void MappedFile::release() noexcept {
    if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace quorvel_routing::platform
