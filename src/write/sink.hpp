// What the serializer needs from the place its bytes go: the in-memory buffer
// of write_string or the buffered file of write_file.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/io_error.hpp"

namespace brindxml {

// Empty on success, else the first I/O error.
using WriteStatus = std::optional<IoError>;

template <class S>
concept ByteSink = requires(S& sink, std::string_view piece, uint64_t count) {
    { sink.append(piece) } -> std::same_as<WriteStatus>;
    { sink.append_spaces(count) } -> std::same_as<WriteStatus>;
};

}  // namespace brindxml
