// Whole-file reading and writing on the native file API: POSIX descriptors, or
// the C runtime's descriptors on Windows (wide-character paths, binary mode).
// Every call sets errno on failure, which stays the C runtime's own number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace brindxml::platform {

// Opens the file named by the UTF-8 `path` (NUL-terminated) for reading, not
// inherited by child processes. Returns a descriptor, or -1 with errno set.
// EINTR is returned to the caller, not retried.
int open_for_reading(const char* path) noexcept;

// Creates or truncates `path` for writing, permission bits 0666 before the
// umask, not inherited by child processes. A descriptor, or -1 with errno set.
int open_for_writing(const char* path) noexcept;

// One read()/write() of at most INT_MAX bytes, however large `size` is (some
// systems refuse or truncate larger counts). The count done, 0 at the end of
// the file, or -1 with errno set.
int64_t read_some(int fd, void* buffer, size_t size) noexcept;
int64_t write_some(int fd, const void* data, size_t size) noexcept;

// Errors are ignored: nothing useful can be done about them once the data
// has been handed to the system.
void close_file(int fd) noexcept;

// The size of an open regular file, or -1 when unknown.
int64_t file_size(int fd) noexcept;

// The C library's description of an error number.
std::string error_description(int error_number);

// Owns one open file descriptor (or none: -1) and closes it with close_file.
class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }

    int get() const noexcept { return fd_; }
    void close() noexcept {
        if (fd_ >= 0) close_file(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

}  // namespace brindxml::platform
