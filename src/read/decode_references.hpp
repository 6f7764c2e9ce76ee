// Decoding of entity and character references in one run of character data
// or one attribute value.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string_view>
#include <utility>

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

// The first byte of `raw` that decoding has to look at (`&`, and in
// attribute mode also TAB, LF and CR), or raw.size() when there is none.
uint64_t first_special(std::string_view raw, ReferenceMode mode) noexcept;

// Decodes `raw`, whose first byte to decode is `first` (from first_special),
// into `out`, which has room for raw.size() bytes: every reference is at least
// as long as its character and a line break becomes one space. The decoded
// size. `base_offset` is the document offset of raw[0], for error positions.
Result<uint64_t, ReadError> decode_into(std::string_view raw, uint64_t first, char* out, uint64_t base_offset,
                                        ReferenceMode mode);

// A decoded string is made in `blocks` when given and the raw text fits there,
// else in a buffer of its own. Inline, so that the decoded string is built in
// the caller's frame instead of coming back through a result in memory.
inline Result<DecodedText, ReadError> decode_references(std::string_view raw, uint64_t base_offset, ReferenceMode mode,
                                                        StringBlocks* blocks = nullptr) {
    const uint64_t first = first_special(raw, mode);
    if (first == raw.size()) return DecodedText{};
    if (blocks && raw.size() <= blocks->longest()) {
        auto decoded = decode_into(raw, first, blocks->room(raw.size()), base_offset, mode);
        if (!decoded) return std::move(decoded).error();
        return DecodedText{true, blocks->commit(decoded.value())};
    }
    char* out = static_cast<char*>(std::malloc(raw.size()));
    if (!out) throw std::bad_alloc();
    auto decoded = decode_into(raw, first, out, base_offset, mode);
    if (!decoded) {
        std::free(out);
        return std::move(decoded).error();
    }
    return DecodedText{true, NodeString::adopt(out, decoded.value())};
}

}  // namespace brindxml
