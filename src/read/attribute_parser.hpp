// Parses the attributes of one start tag into the element's AttrMap.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "base/bytes.hpp"
#include "base/siphash.hpp"
#include "base/table_blocks.hpp"
#include "read/read_error.hpp"
#include "storage/attr_map.hpp"
#include "storage/node_string.hpp"
#include "storage/string_blocks.hpp"
#include "read/view_maker.hpp"

namespace brindxml {

// A name of up to 8 bytes as one word: its bytes in memory order, the rest
// of the word zero (0 for a longer name). With its length it tells the name
// from every other. `readable_end` bounds the memory that may be read after
// the name.
inline uint64_t short_name_word(std::string_view name, const char* readable_end) noexcept {
    if (name.size() > 8) return 0;
    uint64_t word = 0;
    if (readable_end - name.data() >= 8) {
        const unsigned unused = 64 - 8 * static_cast<unsigned>(name.size());
        const uint64_t keep = unused == 0 ? ~uint64_t{0}
                              : bytes::kLittleEndian ? ~uint64_t{0} >> unused
                                                     : ~uint64_t{0} << unused;
        word = bytes::load_word(name.data()) & keep;
    } else {
        std::memcpy(&word, name.data(), name.size());
    }
    return word;
}

// The hashes of short attribute names under one key pair. Every map of a
// parse hashes with the same pair and names repeat from tag to tag, so most
// names are hashed once per parse: a name of up to 8 bytes is known by its
// short_name_word and its length, and looked up in a small direct-mapped
// table.
class NameHashCache {
public:
    // `word` is the name's short_name_word.
    uint64_t hash(HashKeys keys, std::string_view name, uint64_t word) noexcept {
        if (name.size() > 8 || name.empty()) return siphash13(keys, name);
        if (keys.k0 != keys_.k0 || keys.k1 != keys_.k1) {
            keys_ = keys;
            for (Slot& slot : slots_) slot = Slot{};
        }
        // `size` is 1..8, so a used slot never matches an empty one.
        Slot& slot = slots_[((word + name.size()) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits)];
        if (slot.size != name.size() || slot.word != word) {
            slot.word = word;
            slot.size = static_cast<uint8_t>(name.size());
            slot.hash = siphash13(keys, name);
        }
        return slot.hash;
    }

private:
    static constexpr unsigned kSlotBits = 6;
    struct Slot {
        uint64_t word = 0;
        uint64_t hash = 0;
        uint8_t size = 0;  // 0: empty
    };
    HashKeys keys_{};
    Slot slots_[1u << kSlotBits];
};

// Attributes of the tag being parsed, held until the tag is complete so the
// map is sized once; reused from tag to tag within one parse.
class AttributeScratch {
public:
    struct Attribute {
        uint64_t name_begin;
        uint64_t name_end;
        uint64_t name_word;  // short_name_word
        NodeString value;
    };
    std::vector<Attribute> attributes;
    NameHashCache name_hashes;
    StringBlocks* decoded = nullptr;  // where decoded values are made, if anywhere
    TableBlocks* tables = nullptr;    // where attribute tables are placed, if anywhere
};

// Parses the attribute region [begin, end) of the document (the bytes after
// the element name, up to the `>` or `/>`) into `attrs`, which is empty and
// carries the parse's hash keys.
std::optional<ReadError> parse_attributes(ViewMaker& views, uint64_t begin, uint64_t end, AttrMap& attrs,
                                          AttributeScratch& scratch);

}  // namespace brindxml
