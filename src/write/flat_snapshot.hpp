// The writer's snapshot of a tree: one flat array of elements in document
// order (each with its child count), holding the addresses of strings and
// attribute tables that stay alive and unchanged for the whole write (see
// snapshot_tree and flatten_record). Taking it also measures the output (its
// exact length and widest character, so that write_string can make its str at
// the final size and kind before the thread state is released; or a bound on
// its length, so that write_file knows whether it fits before it opens the
// file) and checks that every name can be written.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/compiler.hpp"
#include "storage/attr_map.hpp"
#include "storage/element_record.hpp"
#include "write/name_check.hpp"
#include "write/snapshot_memory.hpp"
#include "write/text_stats.hpp"

namespace brindxml {

struct FlatElement {
    const char* name;
    uint64_t name_size;
    const char* text;  // meaningful when has_text
    uint64_t text_size;
    uint64_t child_count;
    // The attribute table, walked in slot order (the map's own order).
    const AttrMap::Entry* attr_entries;
    const uint8_t* attr_control;
    uint32_t attr_capacity;
    bool has_text;

    std::string_view name_bytes() const noexcept { return {name, static_cast<size_t>(name_size)}; }
    std::string_view text_bytes() const noexcept { return {text, static_cast<size_t>(text_size)}; }
};
static_assert(std::is_trivially_copyable_v<FlatElement>);

// The size of the document the snapshot gives, declaration included.
struct OutputSize {
    uint64_t bytes = 0;        // UTF-8 bytes
    uint64_t characters = 0;   // code points
    uint32_t max_char = 0x7F;  // 0x7F, 0xFF, 0xFFFF or 0x10FFFF: the str kind that holds it exactly
    bool too_large = false;    // a count does not fit in 64 bits
};

// What taking a snapshot measures.
enum class Measure : uint8_t {
    None,   // nothing (and names are not checked)
    Exact,  // the exact size: bytes, characters, widest character
    Bound,  // the unescaped size, and so a bound (escaping adds at most 5 bytes a byte)
};

// The first name the writer cannot write (see name_is_writable).
struct UnwritableName {
    enum class Place : uint8_t { ElementName, AttributeKey };
    size_t element = 0;  // index in the snapshot's elements
    Place place = Place::ElementName;
    std::string_view name;
};

class FlatSnapshot {
public:
    // Starts a document written with `indent_width` spaces per level, with or
    // without the declaration.
    void start(uint64_t indent_width, bool declaration, Measure measure) noexcept;

    // Adds the next element in document order: `depth` is its level (0 for
    // the root), `follows_text` tells that it is the first child of an
    // element with text (its start tag then goes right after that text).
    // `text` is null when the element has none.
    void add_element(std::string_view name, const std::string_view* text, uint64_t child_count, const AttrMap& attrs,
                     uint64_t depth, bool follows_text);

    // The measured size of the whole document (Measure::Exact).
    OutputSize output_size() const noexcept;
    // Whether the document is at most `limit` bytes (Measure::Bound or
    // Exact): decided from the bound when it is below the limit, else
    // measured exactly, escapes included.
    bool fits_in(uint64_t limit) const noexcept;

    // The first name that cannot be written, if any (Measure::Exact or Bound).
    const std::optional<UnwritableName>& unwritable_name() const noexcept { return unwritable_; }
    // Where element `index` is, for messages: "/" and the names of its
    // ancestors and its own, each followed by "[n]" when a sibling has the
    // same name (n counted from 1 among those); "*[n]", the element's place
    // among all its siblings, stands for the last step when
    // `own_name` is false. The root is "/name" (or "/*").
    std::string element_path(size_t index, bool own_name) const;

    const FlatArray<FlatElement>& elements() const noexcept { return elements_; }
    void clear() noexcept { elements_.clear(); }

private:
    // Records the first unwritable name of the element just added.
    void note_unwritable(std::string_view name, const AttrMap::RawTable& table);
    uint64_t declaration_bytes() const noexcept;

    FlatArray<FlatElement> elements_;
    uint64_t indent_width_ = 4;
    bool declaration_ = true;
    uint64_t bytes_ = 0;      // structure and strings, before escaping
    uint64_t escapable_ = 0;  // bytes of texts and attribute values (Measure::Bound)
    TextStats stats_;
    bool too_large_ = false;
    Measure measure_ = Measure::Exact;
    std::optional<UnwritableName> unwritable_;
    // The key last found writable in each of the first table slots. Elements
    // of one kind have the same keys in the same slots (their tables are built
    // alike), so most keys are compared with their neighbour's instead of
    // being checked again. Views into the tree being taken: valid until the
    // next start().
    static constexpr uint32_t kRememberedSlots = 8;
    std::string_view writable_keys_[kRememberedSlots];
};

// Flattens a record tree (kept alive and unchanged by the caller until the
// snapshot is written). Explicit stack.
void flatten_record(const ElementRecord& root, FlatSnapshot& snapshot);

}  // namespace brindxml
