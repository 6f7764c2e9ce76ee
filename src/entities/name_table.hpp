// One str per distinct element name and attribute key of a parsed document.
// Reading a name of that document hands out a new reference to the
// document's str for it instead of making a str: value and type are those of
// a new str, only the identity is shared, and the str brings its cached hash
// into every dict it is put in.
//
// The table is attached to the document's SourceText when the first of its
// names is read (a document whose names are never read costs nothing), and
// released with it. A name's str is made the first time the name is read
// and stays for the life of the document: an entry, once published, never
// changes, so readers on many threads find it without a lock; only putting a
// new name in takes the table's lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "binding/py_ref.hpp"
#include "entities/str_from_utf8.hpp"
#include "storage/node_string.hpp"
#include "storage/source_text.hpp"

namespace brindxml {

// Names are short: both functions below read them a word at a time, with
// overlapping loads instead of a loop over the bytes or a call to memcmp,
// and never read outside the name.
inline uint64_t load_word(const char* p) noexcept {
    uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}
inline uint64_t load_half(const char* p) noexcept {
    uint32_t half;
    std::memcpy(&half, p, 4);
    return half;
}
// The last word of the name (its last 8 bytes, or fewer bytes packed in one
// word): with the length, enough to tell most names apart.
inline uint64_t tail_word(const char* p, size_t n) noexcept {
    if (n >= 8) return load_word(p + n - 8);
    if (n >= 4) return load_half(p) | (load_half(p + n - 4) << 32);
    if (n == 0) return 0;
    const auto byte = [&](size_t i) { return uint64_t{static_cast<unsigned char>(p[i])}; };
    return byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16);
}
// Whether two names of `n` bytes are equal: the tail words, which cover all
// of a name up to 8 bytes, then the words before them.
inline bool same_name(const char* a, const char* b, size_t n) noexcept {
    if (tail_word(a, n) != tail_word(b, n)) return false;
    for (size_t i = 0; i + 8 < n; i += 8)
        if (load_word(a + i) != load_word(b + i)) return false;
    return true;
}

// Not keyed: the bytes come from the document, so a flood of colliding names
// is possible; probes are bounded instead (see NameTable), and a name the
// table cannot hold is read as a new str.
inline uint64_t name_hash(std::string_view bytes) noexcept {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ULL;
    const char* p = bytes.data();
    const size_t n = bytes.size();
    uint64_t h = (n + 1) * kMul;
    for (size_t i = 0; i + 8 < n; i += 8) h = (h ^ load_word(p + i)) * kMul;
    h = (h ^ tail_word(p, n)) * kMul;
    return h ^ (h >> 29);
}

class NameTable {
public:
    // A document with more distinct names than this shares the first ones.
    static constexpr size_t kMaxNames = size_t{1} << 14;
    // Linear probing stops after this many slots: a name whose run is longer
    // is not shared, so colliding input costs bounded time per name.
    static constexpr size_t kMaxProbes = 16;

    // The table of `source`, attached now if it has none: a new, empty
    // table, or the one another thread attached meanwhile. Null without
    // memory for one (the names are then read as new strs); no error is set.
    static NameTable* attach_to(SourceText* source) noexcept;

    NameTable(const NameTable&) = delete;
    NameTable& operator=(const NameTable&) = delete;

    // A new reference to the document's str for `name` (a view into this
    // table's document), made now if the name is new; null with an error set.
    PyObject* str_for(const NodeString& name) noexcept {
        const std::string_view bytes = name.bytes();
        const uint64_t hash = name_hash(bytes);
        const Slots* slots = slots_.load(std::memory_order_acquire);
        for (size_t i = hash & slots->mask, probes = 0; probes < kMaxProbes; ++probes, i = (i + 1) & slots->mask) {
            const Slot& slot = slots->slot[i];
            PyObject* str = slot.str.load(std::memory_order_acquire);
            if (!str) return insert(name, hash);
            if (slot.hash == hash && slot.size == bytes.size() && same_name(slot.data, bytes.data(), bytes.size()))
                return Py_NewRef(str);
        }
        return to_py_str(name);
    }

private:
    friend void release_name_table(void* table) noexcept;

    // An entry: its fields are written before `str` is published (release)
    // and read after `str` is seen (acquire); a published entry never changes.
    struct Slot {
        uint64_t hash = 0;
        const char* data = nullptr;  // the name's bytes in the document text
        size_t size = 0;
        std::atomic<PyObject*> str{nullptr};  // held by strs_
    };
    struct Slots {
        size_t mask = 0;
        std::unique_ptr<Slot[]> slot;
    };

    NameTable() = default;
    ~NameTable();
    PyObject* insert(const NodeString& name, uint64_t hash) noexcept;
    static Slots* new_slots(size_t capacity) noexcept;
    bool grow() noexcept;

    // Replaced by a larger array under the lock; readers may still be
    // probing the old one, which is kept in `retired_` until the table goes.
    std::atomic<Slots*> slots_{nullptr};
    // Set when no more names go in: misses then make a new str at once.
    std::atomic<bool> full_{false};
    PyMutex lock_{};  // detaches while it waits, as a thread state lock must
    // Guarded by lock_:
    size_t count_ = 0;
    PyObject* strs_ = nullptr;  // a list of every str made: one reference to release
    std::vector<Slots*> retired_;
};

// A new reference to a str holding `name`: its document's shared str when
// `name` is a view into a document with a name table, else a new str. Null
// with an error set on failure.
inline PyObject* name_str(const NodeString& name) noexcept {
    if (SourceText* source = name.source()) {
        // Only NameTable::attach_to attaches anything to a SourceText.
        void* attached = source->attachment();
        NameTable* table = attached ? static_cast<NameTable*>(attached) : NameTable::attach_to(source);
        if (table) return table->str_for(name);
    }
    return to_py_str(name);
}

}  // namespace brindxml
