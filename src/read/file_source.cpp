#include "read/file_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "base/file_open.hpp"
#include "base/utf8.hpp"
#include "platform/file_io.hpp"

namespace brindxml {

namespace {

constexpr uint64_t kFirstCapacity = 8192;
// Also bounded by what one allocation can hold, on 32-bit targets the tighter bound.
constexpr uint64_t kMaxCapacity = std::min<uint64_t>(uint64_t{1} << 62, SIZE_MAX);

}  // namespace

Result<FileBytes, IoError> read_file_bytes(std::string_view path) {
    Result<FileDescriptor, IoError> opened = open_input_file(path);
    if (!opened) return std::move(opened.error());
    const FileDescriptor fd = std::move(opened.value());

    // The size is only a hint (the file may change, or be a pipe): one byte
    // more than it, so the read that reports the end needs no regrowth.
    uint64_t capacity = kFirstCapacity;
    const int64_t size = platform::file_size(fd.get());
    if (size > 0 && static_cast<uint64_t>(size) < kMaxCapacity) capacity = static_cast<uint64_t>(size) + 1;

    std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(capacity)]);
    uint64_t length = 0;
    for (;;) {
        if (length == capacity) {
            if (capacity > kMaxCapacity / 2) throw std::bad_alloc();
            std::unique_ptr<char[]> bigger(new char[static_cast<size_t>(capacity * 2)]);
            std::memcpy(bigger.get(), buffer.get(), static_cast<size_t>(length));
            buffer = std::move(bigger);
            capacity *= 2;
        }
        const int64_t got = platform::read_some(fd.get(), buffer.get() + length, static_cast<size_t>(capacity - length));
        if (got < 0) {
            if (errno == EINTR) continue;
            return IoError::os(errno);
        }
        if (got == 0) break;
        length += static_cast<uint64_t>(got);
    }

    return FileBytes{std::move(buffer), length};
}

Result<SourceRef, IoError> utf8_source(FileBytes file) {
    const std::string_view bytes = file.view();
    if (!is_valid_utf8(bytes)) return IoError::invalid_data(kNotUtf8, valid_utf8_prefix(bytes));
    SourceRef text(SourceText::owned(file.bytes.get(), file.length));
    file.bytes.release();  // now owned by the text
    return text;
}

Result<SourceRef, IoError> read_source_file(std::string_view path) {
    Result<FileBytes, IoError> file = read_file_bytes(path);
    if (!file) return file.error();
    return utf8_source(std::move(file).value());
}

}  // namespace brindxml
