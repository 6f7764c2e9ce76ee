// Reads a whole file into memory, and makes an Owned SourceText of bytes
// that are UTF-8.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "base/io_error.hpp"
#include "base/result.hpp"
#include "storage/source_text.hpp"

namespace brindxml {

inline constexpr const char* kNotUtf8 = "stream did not contain valid UTF-8";

// The bytes of a file, not yet known to be text. `bytes` was allocated with
// `new char[]`, as SourceText::owned requires.
struct FileBytes {
    std::unique_ptr<char[]> bytes;
    uint64_t length = 0;
    std::string_view view() const noexcept { return {bytes.get(), static_cast<size_t>(length)}; }
};

// `path` is used as given (UTF-8 bytes); a NUL byte in it fails with kNulInFileName
// without a system call. EINTR is retried.
Result<FileBytes, IoError> read_file_bytes(std::string_view path);

// Takes over the bytes as an Owned text once they are checked to be UTF-8;
// otherwise fails with kNotUtf8 and the offset of the first bad byte.
Result<SourceRef, IoError> utf8_source(FileBytes file);

// Both steps: the file as an Owned text, required to be UTF-8.
Result<SourceRef, IoError> read_source_file(std::string_view path);

}  // namespace brindxml
