// What the first bytes of a document say about its encoding: a byte order
// mark, the byte pattern of `<?` in a 16- or 32-bit encoding, or the encoding
// named by an XML declaration at the very start.
#pragma once

#include <cstdint>
#include <string_view>

namespace brindxml {

struct DocumentEncoding {
    enum class Source : uint8_t {
        None,         // nothing said: UTF-8
        Utf8Mark,     // a UTF-8 byte order mark: UTF-8, whatever a declaration says
        Mark,         // another byte order mark; `name` is "utf-16" or "utf-32"
        FirstBytes,   // no mark, but `<?` in UTF-16/UTF-32; `name` is the codec ("utf-16-le", ...)
        Declaration,  // the declaration's encoding pseudo-attribute, as written, in `name`
    };
    Source source = Source::None;
    // A codec name, or the declared name (pointing into the document bytes).
    std::string_view name;

    // Whether the bytes are UTF-8 without asking further. A declared name may
    // still be another spelling of UTF-8, which only a codec registry can tell.
    bool is_utf8() const noexcept { return source == Source::None || source == Source::Utf8Mark; }
};

// Looks at the start of `bytes` only (the declaration must end within the
// first 1024 bytes). A declaration naming "UTF-8" or "UTF8" in any case
// counts as saying nothing.
DocumentEncoding detect_document_encoding(std::string_view bytes) noexcept;

}  // namespace brindxml
