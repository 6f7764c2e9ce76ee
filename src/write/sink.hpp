// What the serializer needs from the place its bytes go: the in-memory buffer
// of write_string or the buffered file of write_file.
#pragma once

#include <concepts>
#include <optional>
#include <string_view>

#include "storage/io_error.hpp"

namespace brindxml {

// Empty on success, else the first I/O error.
using WriteStatus = std::optional<IoError>;

// Indentation is indent_width × depth spaces, and both factors are 64-bit, so
// the count of one run of spaces needs 128 bits.
__extension__ typedef unsigned __int128 SpaceCount;

template <class S>
concept ByteSink = requires(S& sink, std::string_view piece, SpaceCount count) {
    { sink.append(piece) } -> std::same_as<WriteStatus>;
    { sink.append_spaces(count) } -> std::same_as<WriteStatus>;
};

}  // namespace brindxml
