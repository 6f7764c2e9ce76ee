// UTF-8 validation of a whole buffer.
#pragma once

#include <string_view>

namespace brindxml {

bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace brindxml
