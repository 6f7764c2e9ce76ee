// Reads a whole file into an Owned SourceText and checks that it is UTF-8.
#pragma once

#include <string_view>

#include "base/io_error.hpp"
#include "base/result.hpp"
#include "storage/source_text.hpp"

namespace brindxml {

inline constexpr const char* kNotUtf8 = "stream did not contain valid UTF-8";

// `path` is used as given (UTF-8 bytes); a NUL byte in it fails with kNulInFileName
// without a system call. EINTR is retried.
Result<SourceRef, IoError> read_source_file(std::string_view path);

}  // namespace brindxml
