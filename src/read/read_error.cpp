#include "read/read_error.hpp"

#include <string_view>

namespace brindxml {

namespace {

// Built with append: chains of `literal + std::string` trip a false
// -Wrestrict warning in GCC 12.
std::string joined(std::initializer_list<std::string_view> parts) {
    std::string out;
    size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    out.reserve(size);
    for (std::string_view part : parts) out.append(part);
    return out;
}

}  // namespace

std::string ReadError::display() const {
    switch (kind) {
        case Case::Index:
            return joined({"malformed XML: Unclosed tag at byte ", std::to_string(offset)});
        case Case::Malformed:
            return joined({"malformed XML at byte ", std::to_string(offset), ": ", text});
        case Case::RootNotFound:
            return joined({"root tag <", text, "> not found in document"});
        case Case::UnclosedAtEnd:
            return joined({"unexpected end of document: <", text, "> is never closed"});
        case Case::UnknownEntity:
            return joined({"unknown entity reference '&", text, ";' at byte ", std::to_string(offset)});
    }
    return text;
}

}  // namespace brindxml
