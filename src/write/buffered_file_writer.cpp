#include "write/buffered_file_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/file_io.hpp"

namespace brindxml {

namespace {

// Writes all of [data, data + size) unless an error comes first. Returns the
// number of bytes written and the error, if any; a write() of 0 bytes fails
// with `write_zero_text`.
struct WriteOutcome {
    size_t written;
    WriteStatus error;
};

WriteOutcome write_fully(int fd, const char* data, size_t size, const char* write_zero_text) noexcept {
    size_t written = 0;
    while (written < size) {
        const int64_t n = platform::write_some(fd, data + written, size - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
        } else if (n == 0) {
            return {written, IoError::fixed(IoError::Kind::WriteZero, write_zero_text)};
        } else if (errno != EINTR) {
            return {written, IoError::os(errno)};
        }
    }
    return {written, std::nullopt};
}

}  // namespace

BufferedFileWriter::BufferedFileWriter(FileDescriptor file)
    : file_(std::move(file)), buffer_(new char[kCapacity]) {}

BufferedFileWriter::~BufferedFileWriter() {
    if (length_ != 0) (void)flush();
}

WriteStatus BufferedFileWriter::flush() {
    const WriteOutcome outcome = write_fully(file_.get(), buffer_.get(), length_, kFailedToWriteBufferedData);
    if (outcome.written == length_) {
        length_ = 0;
    } else {
        length_ -= static_cast<uint32_t>(outcome.written);
        std::memmove(buffer_.get(), buffer_.get() + outcome.written, length_);
    }
    return outcome.error;
}

WriteStatus BufferedFileWriter::append_slow(std::string_view piece) {
    if (piece.empty()) return {};
    if (piece.size() > kCapacity - length_) {
        if (WriteStatus error = flush()) return error;
    }
    if (piece.size() < kCapacity) {
        std::memcpy(buffer_.get() + length_, piece.data(), piece.size());
        length_ += static_cast<uint32_t>(piece.size());
        return {};
    }
    return write_fully(file_.get(), piece.data(), piece.size(), kFailedToWriteWholeBuffer).error;
}

WriteStatus BufferedFileWriter::append_spaces(uint64_t count) {
    while (count != 0) {
        if (length_ == kCapacity) {
            if (WriteStatus error = flush()) return error;
        }
        const uint32_t room = kCapacity - length_;
        const uint32_t n = count < room ? static_cast<uint32_t>(count) : room;
        std::memset(buffer_.get() + length_, ' ', n);
        length_ += n;
        count -= n;
    }
    return {};
}

}  // namespace brindxml
