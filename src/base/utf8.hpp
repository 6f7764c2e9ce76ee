// UTF-8 validation of a whole buffer.
#pragma once

#include <string_view>

namespace brindxml {

enum class [[nodiscard]] Utf8Kind { Invalid, Ascii, NonAscii };

// Whether `bytes` are valid UTF-8, and if so whether they are all ASCII.
Utf8Kind classify_utf8(std::string_view bytes) noexcept;

inline bool is_valid_utf8(std::string_view bytes) noexcept { return classify_utf8(bytes) != Utf8Kind::Invalid; }

// The length of the longest valid UTF-8 prefix of `bytes`: the offset of the
// first byte of the first invalid sequence, or bytes.size() when all are valid.
size_t valid_utf8_prefix(std::string_view bytes) noexcept;

}  // namespace brindxml
