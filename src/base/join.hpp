// Joining pieces of text into one string, as error messages are built.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace brindxml {

// The pieces one after the other, in one allocation. Built with append:
// chains of `literal + std::string` trip a false -Wrestrict warning in GCC 12.
inline std::string joined(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    std::string out;
    out.reserve(size);
    for (std::string_view part : parts) out.append(part);
    return out;
}

}  // namespace brindxml
