// Opening a file by its UTF-8 name, as the core's readers and writers do: a
// NUL byte in the name fails before any system call, EINTR is retried, and
// any other failure becomes an IoError holding the error number.
#pragma once

#include <string_view>

#include "base/io_error.hpp"
#include "base/result.hpp"
#include "platform/file_io.hpp"

namespace brindxml {

using platform::FileDescriptor;

// Opens `path` for reading, not inherited by child processes.
Result<FileDescriptor, IoError> open_input_file(std::string_view path);

// Creates or truncates `path` for writing, permission bits 0666 before the
// umask, not inherited by child processes.
Result<FileDescriptor, IoError> open_output_file(std::string_view path);

}  // namespace brindxml
