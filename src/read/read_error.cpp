#include "read/read_error.hpp"

namespace brindxml {

std::string ReadError::display() const {
    switch (kind) {
        case Case::Index:
            return "malformed XML: Unclosed tag at byte " + std::to_string(offset);
        case Case::Malformed:
            return "malformed XML at byte " + std::to_string(offset) + ": " + text;
        case Case::RootNotFound:
            return "root tag <" + text + "> not found in document";
        case Case::UnclosedAtEnd:
            return "unexpected end of document: <" + text + "> is never closed";
        case Case::UnknownEntity:
            return "unknown entity reference '&" + text + ";' at byte " + std::to_string(offset);
    }
    return text;
}

}  // namespace brindxml
