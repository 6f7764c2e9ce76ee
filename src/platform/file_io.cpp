#include "platform/file_io.hpp"

#include <cerrno>
#include <climits>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace brindxml::platform {

namespace {

constexpr size_t kMaxTransfer = INT_MAX;

inline size_t capped(size_t size) noexcept { return size < kMaxTransfer ? size : kMaxTransfer; }

#ifdef _WIN32
// The UTF-16 form of a UTF-8 path, as the wide-character API takes it; empty
// with errno set when the path is not UTF-8.
std::wstring wide_path(const char* path) noexcept {
    try {
        const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
        if (length <= 0) {
            errno = EINVAL;
            return {};
        }
        std::wstring wide(static_cast<size_t>(length), L'\0');
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), length);
        wide.resize(static_cast<size_t>(length) - 1);  // without the terminator
        return wide;
    } catch (...) {
        errno = ENOMEM;
        return {};
    }
}

int open_wide(const char* path, int flags, int mode) noexcept {
    const std::wstring wide = wide_path(path);
    if (wide.empty() && *path != '\0') return -1;
    int fd = -1;
    const errno_t error = _wsopen_s(&fd, wide.c_str(), flags | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, mode);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return fd;
}
#endif

}  // namespace

int open_for_reading(const char* path) noexcept {
#ifdef _WIN32
    return open_wide(path, _O_RDONLY, 0);
#else
    return ::open(path, O_RDONLY | O_CLOEXEC);
#endif
}

int open_for_writing(const char* path) noexcept {
#ifdef _WIN32
    return open_wide(path, _O_WRONLY | _O_CREAT | _O_TRUNC, _S_IREAD | _S_IWRITE);
#else
    return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
#endif
}

int64_t read_some(int fd, void* buffer, size_t size) noexcept {
#ifdef _WIN32
    return _read(fd, buffer, static_cast<unsigned>(capped(size)));
#else
    return ::read(fd, buffer, capped(size));
#endif
}

int64_t write_some(int fd, const void* data, size_t size) noexcept {
#ifdef _WIN32
    return _write(fd, data, static_cast<unsigned>(capped(size)));
#else
    return ::write(fd, data, capped(size));
#endif
}

void close_file(int fd) noexcept {
#ifdef _WIN32
    _close(fd);
#else
    // Not retried on EINTR: on Linux the descriptor is released either way.
    ::close(fd);
#endif
}

int64_t file_size(int fd) noexcept {
#ifdef _WIN32
    struct _stat64 info;
    if (_fstat64(fd, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return -1;
#else
    struct stat info;
    if (::fstat(fd, &info) != 0) return -1;
#endif
    return info.st_size > 0 ? static_cast<int64_t>(info.st_size) : -1;
}

namespace {

// strerror_r comes in a GNU form (returns the text) and a POSIX form (fills the buffer).
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* result, const char*) { return result; }

}  // namespace

std::string error_description(int error_number) {
    char buffer[256] = {0};
#ifdef _WIN32
    if (strerror_s(buffer, sizeof buffer, error_number) != 0) return "Unknown error";
    return buffer;
#else
    return strerror_text(strerror_r(error_number, buffer, sizeof buffer), buffer);
#endif
}

}  // namespace brindxml::platform
