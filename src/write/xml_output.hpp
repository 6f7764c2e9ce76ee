// Serialising a tree as indented XML, into memory or a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "storage/element_record.hpp"
#include "base/io_error.hpp"
#include "write/byte_buffer.hpp"

namespace brindxml {

inline constexpr std::string_view XML_DECLARATION = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

class FlatSnapshot;

// Consumes `root` and returns the document in a malloc-backed buffer.
ByteBuffer write_xml_buffer(ElementRecord&& root, uint64_t indent_width, bool declaration);

// The same as a std::string (a copy of the buffer). Consumes `root`. Throws std::bad_alloc when the output cannot be allocated
// (for example an indent so large that one line exceeds memory).
std::string write_xml_string(ElementRecord&& root, uint64_t indent_width, bool declaration);

// Whether the document of `snapshot` (taken with Measure::Bound or Exact) can
// be written at `path`: ENOSPC when it is larger than the free space of the
// file system the file would be on (plus what truncating the file there would
// free), else EFBIG when it is larger than the process may write to a file.
// Nothing is created or changed. A limit that cannot be known is not checked,
// nor are devices and pipes.
std::optional<IoError> check_room_for(std::string_view path, const FlatSnapshot& snapshot);

// Creates or truncates `path` (mode 0666 before umask) and writes the document
// through an 8192-byte buffer. Returns the first I/O error.
std::optional<IoError> write_xml_file(std::string_view path, const FlatSnapshot& snapshot,
                                      uint64_t indent_width, bool declaration);
// The same for a record tree, which it consumes.
std::optional<IoError> write_xml_file(std::string_view path, ElementRecord&& root,
                                      uint64_t indent_width, bool declaration);

}  // namespace brindxml
