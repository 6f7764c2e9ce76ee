// The writer's snapshot of a tree: one flat array of elements in document
// order (each with its child count), holding the addresses of strings and
// attribute tables that stay alive and unchanged for the whole write (see
// snapshot_tree and flatten_record). Taking it also measures the output: its
// exact length and widest character, so that write_string can make its str at
// the final size and kind before the thread state is released.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/compiler.hpp"
#include "storage/attr_map.hpp"
#include "storage/element_record.hpp"
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

// A growable array of trivially copyable values on realloc: large arrays live
// in their own mappings, which realloc grows without copying.
template <class T>
class FlatArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    FlatArray() noexcept = default;
    FlatArray(const FlatArray&) = delete;
    FlatArray& operator=(const FlatArray&) = delete;
    ~FlatArray() { std::free(data_); }

    T& push() {
        if (size_ == capacity_) grow();
        return data_[size_++];
    }
    void clear() noexcept { size_ = 0; }
    // Frees the storage when it holds more than `bytes`.
    void trim(size_t bytes) noexcept {
        if (capacity_ * sizeof(T) > bytes) {
            std::free(data_);
            data_ = nullptr;
            size_ = capacity_ = 0;
        }
    }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    size_t size() const noexcept { return size_; }

private:
    void grow() {
        const size_t limit = static_cast<size_t>(-1) / 2 / sizeof(T);
        if (capacity_ >= limit) throw std::bad_alloc();
        const size_t next = capacity_ < 1024 ? 1024 : (capacity_ > limit / 2 ? limit : capacity_ * 2);
        void* grown = std::realloc(data_, next * sizeof(T));
        if (!grown) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
        capacity_ = next;
    }

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

class FlatSnapshot {
public:
    // Memory a thread keeps for its next snapshot; more is freed after use.
    static constexpr size_t kKeptBytes = size_t{16} << 20;

    // Starts a document written with `indent_width` spaces per level, with or
    // without the declaration. Without `measure`, output_size() is not kept.
    void start(uint64_t indent_width, bool declaration, bool measure) noexcept;

    // Adds the next element in document order: `depth` is its level (0 for
    // the root), `follows_text` tells that it is the first child of an
    // element with text (its start tag then goes right after that text).
    // `text` is null when the element has none.
    void add_element(std::string_view name, const std::string_view* text, uint64_t child_count, const AttrMap& attrs,
                     uint64_t depth, bool follows_text);

    // The measured size of the whole document.
    OutputSize output_size() const noexcept;

    const FlatArray<FlatElement>& elements() const noexcept { return elements_; }
    void clear() noexcept { elements_.clear(); }
    void trim() noexcept { elements_.trim(kKeptBytes); }

private:
    void add_bytes(uint64_t bytes) noexcept { too_large_ |= !platform::checked_add(bytes_, bytes, bytes_); }
    void add_line_break(uint64_t depth) noexcept {
        uint64_t spaces = 0;
        too_large_ |= !platform::checked_multiply(indent_width_, depth, spaces);
        add_bytes(spaces);
        add_bytes(1);
    }

    FlatArray<FlatElement> elements_;
    uint64_t indent_width_ = 4;
    bool declaration_ = true;
    uint64_t bytes_ = 0;  // structure and strings, before escaping
    TextStats stats_;
    bool too_large_ = false;
    bool measure_ = true;
};

// A thread's snapshot, lent for one write: its memory is reused from call to
// call (up to FlatSnapshot::kKeptBytes), so a write faults in no fresh pages
// for it. Nested use on one thread (which no write path does) gets a fresh one.
class SnapshotLease {
public:
    SnapshotLease();
    ~SnapshotLease();
    SnapshotLease(const SnapshotLease&) = delete;
    SnapshotLease& operator=(const SnapshotLease&) = delete;
    FlatSnapshot& get() noexcept { return *snapshot_; }

private:
    FlatSnapshot* snapshot_;
    bool owned_;
};

// Flattens a record tree (kept alive and unchanged by the caller until the
// snapshot is written). Explicit stack.
void flatten_record(const ElementRecord& root, FlatSnapshot& snapshot);

}  // namespace brindxml
