#include "read/read_error.hpp"

#include <string_view>

#include "base/join.hpp"

namespace brindxml {

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
