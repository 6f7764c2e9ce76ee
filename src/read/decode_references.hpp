// Decoding of entity and character references in one run of character data
// or one attribute value.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/result.hpp"
#include "read/read_error.hpp"
#include "storage/node_string.hpp"
#include "storage/string_blocks.hpp"

namespace brindxml {

// Attribute values also turn TAB, LF, CR and CR LF into one space each.
enum class ReferenceMode : uint8_t { Text, Attribute };

// Either "unchanged" (the caller keeps a view of the raw bytes, nothing was
// allocated) or one Owned string holding the decoded form.
struct DecodedText {
    bool changed = false;
    NodeString decoded;  // meaningful only when `changed`
};

// `base_offset` is the document offset of raw[0], for error positions. A
// decoded string is made in `blocks` when given and the raw text fits there,
// else in a buffer of its own.
Result<DecodedText, ReadError> decode_references(std::string_view raw, uint64_t base_offset, ReferenceMode mode,
                                                 StringBlocks* blocks = nullptr);

}  // namespace brindxml
