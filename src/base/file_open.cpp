#include "base/file_open.hpp"

#include <cerrno>
#include <string>

namespace brindxml {

namespace {

Result<FileDescriptor, IoError> open_retrying(std::string_view path, int (*open_path)(const char*) noexcept) {
    if (path.find('\0') != std::string_view::npos) return IoError::fixed(IoError::Kind::InvalidInput, kNulInFileName);
    const std::string terminated(path);
    for (;;) {
        const int fd = open_path(terminated.c_str());
        if (fd >= 0) return FileDescriptor(fd);
        if (errno != EINTR) return IoError::os(errno);
    }
}

}  // namespace

Result<FileDescriptor, IoError> open_input_file(std::string_view path) {
    return open_retrying(path, &platform::open_for_reading);
}

Result<FileDescriptor, IoError> open_output_file(std::string_view path) {
    return open_retrying(path, &platform::open_for_writing);
}

}  // namespace brindxml
