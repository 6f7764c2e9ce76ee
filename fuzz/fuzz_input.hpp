// What the fuzz targets read from their input.
#pragma once

#include <string_view>

namespace brindxml::fuzz {

// The name of the document's first start tag (the root the reader will most
// likely find), else a fixed one.
inline std::string_view pick_root(std::string_view doc) {
    const size_t lt = doc.find('<');
    if (lt == std::string_view::npos) return "a";
    size_t end = lt + 1;
    while (end < doc.size() && end - lt <= 16 && std::string_view(" \t\r\n\f/>").find(doc[end]) == std::string_view::npos)
        ++end;
    return doc.substr(lt + 1, end - lt - 1);
}

}  // namespace brindxml::fuzz
