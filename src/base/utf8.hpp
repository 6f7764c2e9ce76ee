// UTF-8 validation of a whole buffer.
#pragma once

#include <string_view>

namespace brindxml {

enum class [[nodiscard]] Utf8Kind { Invalid, Ascii, NonAscii };

// Whether `bytes` are valid UTF-8, and if so whether they are all ASCII.
Utf8Kind classify_utf8(std::string_view bytes) noexcept;

inline bool is_valid_utf8(std::string_view bytes) noexcept { return classify_utf8(bytes) != Utf8Kind::Invalid; }

}  // namespace brindxml
