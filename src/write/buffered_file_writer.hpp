// The file sink of write_file: one 8192-byte buffer in front of a file
// descriptor. Pieces of 8192 bytes or more bypass the buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "base/io_error.hpp"
#include "base/result.hpp"
#include "write/sink.hpp"

namespace brindxml {

inline constexpr const char* kFailedToWriteWholeBuffer = "failed to write whole buffer";
inline constexpr const char* kFailedToWriteBufferedData = "failed to write the buffered data";

// Owns one open file descriptor; closing ignores errors (nothing useful can
// be done about them once the data has been handed to the kernel).
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
    void close() noexcept;

private:
    int fd_ = -1;
};

// Creates or truncates `path` for writing, permission bits 0666 before the
// umask. The path is used as given; a NUL byte in it fails with kNulInFileName
// before any system call. EINTR is retried.
Result<FileDescriptor, IoError> open_output_file(std::string_view path);

class BufferedFileWriter {
public:
    static constexpr uint32_t kCapacity = 8192;

    // Allocates the buffer (once, for the writer's lifetime).
    explicit BufferedFileWriter(FileDescriptor file);
    BufferedFileWriter(const BufferedFileWriter&) = delete;
    BufferedFileWriter& operator=(const BufferedFileWriter&) = delete;
    // Tries once more to write what is still buffered (only left after an
    // error), ignoring any failure, then closes the file.
    ~BufferedFileWriter();

    WriteStatus append(std::string_view piece) {
        if (piece.size() < kCapacity - length_) {
            std::memcpy(buffer_.get() + length_, piece.data(), piece.size());
            length_ += static_cast<uint32_t>(piece.size());
            return {};
        }
        return append_slow(piece);
    }
    // Writes exactly `count` spaces, through the buffer.
    WriteStatus append_spaces(uint64_t count);
    // Writes out everything buffered. On failure, what was written is removed
    // from the front of the buffer and the rest stays.
    WriteStatus flush();

    uint32_t buffered() const noexcept { return length_; }
    std::string_view buffered_bytes() const noexcept { return {buffer_.get(), length_}; }

private:
    WriteStatus append_slow(std::string_view piece);

    FileDescriptor file_;
    std::unique_ptr<char[]> buffer_;
    uint32_t length_ = 0;
};

static_assert(ByteSink<BufferedFileWriter>);

}  // namespace brindxml
