// A hash map from a byte-string key to a value, hashed with keyed SipHash-1-3.
// Open addressing with linear probing; entries are enumerated in table order,
// and a copy keeps every entry in the same slot, so a copy enumerates exactly
// like its original.
//
// Layout: one allocation holding the entries followed by one control byte per
// slot (0 = empty, else 0x80 | seven bits of the hash). Attribute maps are the
// largest part of a parsed tree, so a table reserved for up to 8 entries has
// exactly that many slots and may fill completely (an element with six
// attributes takes six slots, not eight); larger tables have a power of two
// of slots, filled to 7/8. A hash picks its first slot by scaling its low 32
// bits to the slot count.
//
// The map itself is its key pair and one word: the table's address, whose
// low bits (free by the allocator's alignment) hold the slot count of a small
// table; its size is the number of used control bytes. A larger table starts
// with a header holding its slot count and size. The table ends with two
// bytes that say where it lives: zero for an allocation of its own, else its
// distance from the header of the TableBlocks block it was placed in.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform/compiler.hpp"
#include "base/siphash.hpp"
#include "base/table_blocks.hpp"

namespace brindxml {

inline std::string_view bytes_of(const std::string& s) noexcept { return s; }

template <class Key, class Value>
class KeyedMap {
public:
    struct Entry {
        Key key;
        Value value;
    };

    // An empty map with the given hashing keys.
    explicit KeyedMap(HashKeys keys = {}) noexcept : keys_(keys) {}
    // An empty map with its own key pair from the thread and room for `expected` entries.
    static KeyedMap with_new_keys(uint64_t expected = 0) {
        KeyedMap map(take_thread_hash_keys());
        map.reserve(expected);
        return map;
    }

    KeyedMap(const KeyedMap& other) : KeyedMap(other.copy_with([](const Key& key, const Value& value) {
                                          return Entry{key, value};
                                      })) {}
    // A copy whose entries are made by `copy_entry(key, value)`, each in the
    // same slot as in this map.
    template <class CopyEntry>
    KeyedMap copy_with(CopyEntry&& copy_entry) const {
        KeyedMap copy(keys_);
        const uint32_t capacity = capacity_of();
        if (capacity == 0) return copy;
        copy.allocate(capacity);
        const uint8_t* source_control = control();
        for (uint32_t i = 0; i < capacity; ++i) {
            if (source_control[i]) {
                new (&copy.entries()[i]) Entry(copy_entry(entries()[i].key, entries()[i].value));
                copy.control()[i] = source_control[i];
                copy.count_insertion();
            }
        }
        return copy;
    }
    KeyedMap(KeyedMap&& other) noexcept
        : keys_(other.keys_),
          table_(std::exchange(other.table_, 0)) {}
    KeyedMap& operator=(const KeyedMap& other) {
        if (this != &other) {
            KeyedMap copy(other);
            swap(copy);
        }
        return *this;
    }
    KeyedMap& operator=(KeyedMap&& other) noexcept {
        if (this != &other) {
            destroy();
            keys_ = other.keys_;
            table_ = std::exchange(other.table_, 0);
        }
        return *this;
    }
    ~KeyedMap() { destroy(); }

    void swap(KeyedMap& other) noexcept {
        std::swap(keys_, other.keys_);
        std::swap(table_, other.table_);
    }

    HashKeys keys() const noexcept { return keys_; }
    // Asks the processor for the table ahead of a walk over many maps.
    void prefetch_table() const noexcept {
        const auto* table = reinterpret_cast<const char*>(table_ & ~kSmallMask);
        const size_t bytes = (sizeof(Entry) + 1) * static_cast<size_t>(capacity_of());
        for (size_t offset = 0; offset < bytes && offset < 1024; offset += 64) platform::prefetch(table + offset);
    }
    // The table as it is laid out: `capacity` slots of entries, and one
    // control byte per slot (0 = empty). Enumerating the non-empty slots in
    // index order is the map's iteration order.
    struct RawTable {
        const Entry* entries;
        const uint8_t* control;
        uint32_t capacity;
    };
    RawTable raw_table() const noexcept {
        const uint32_t capacity = capacity_of();
        return {capacity ? entries() : nullptr, capacity ? control() : nullptr, capacity};
    }

    // The entry in slot `i` (below capacity()), or null for an empty slot:
    // for walks that free nested maps in place, without allocating.
    Entry* slot(uint64_t i) noexcept { return control()[i] ? &entries()[i] : nullptr; }

    uint64_t size() const noexcept {
        const uint32_t small = table_ & kSmallMask;
        if (!small) return table_ ? header()->size : 0;
        const uint8_t* c = control();
        uint32_t used = 0;
        for (uint32_t i = 0; i < small; ++i) used += c[i] != 0;
        return used;
    }
    bool empty() const noexcept {
        const uint32_t small = table_ & kSmallMask;
        if (!small) return table_ == 0 || header()->size == 0;
        const uint8_t* c = control();
        for (uint32_t i = 0; i < small; ++i)
            if (c[i]) return false;
        return true;
    }
    uint64_t capacity() const noexcept { return capacity_of(); }

    void reserve(uint64_t expected) { reserve_in(expected, nullptr); }
    // The same, placing a new table in `blocks` when it is small enough.
    void reserve_in(uint64_t expected, TableBlocks* blocks) {
        if (expected <= max_load(capacity_of())) return;
        if (expected > kMaxCapacity - kMaxCapacity / 8) throw std::bad_alloc();
        if (expected <= kExactCapacity) return rehash(static_cast<uint32_t>(expected), blocks);
        uint32_t wanted = 2 * kExactCapacity;
        while (max_load(wanted) < expected) wanted *= 2;
        rehash(wanted, blocks);
    }

    // Inserts, or replaces the value of an existing key (the old value is dropped).
    // Returns true when the key was new.
    bool insert_or_assign(Key key, Value value) {
        const std::string_view k = bytes_of(key);
        const uint64_t h = hash(k);
        if (Entry* entry = lookup(k, h)) {
            entry->value = std::move(value);
            return false;
        }
        grow_for_one_more();
        insert_reserved(std::move(key), std::move(value), h);
        return true;
    }

    // Inserts a key known to be absent (the caller checked, or the keys are unique).
    void insert_new(Key key, Value value) {
        const uint64_t h = hash(bytes_of(key));
        grow_for_one_more();
        insert_reserved(std::move(key), std::move(value), h);
    }

    // Inserts a key known to be absent into a map with room reserved for
    // it, given its hash under this map's keys (siphash13(keys(), key)).
    void insert_reserved(Key key, Value value, uint64_t h) noexcept {
        place(h, Entry{std::move(key), std::move(value)});
        count_insertion();
    }

    Value* find(std::string_view key) noexcept {
        if (table_ == 0) return nullptr;
        Entry* entry = lookup(key, hash(key));
        return entry ? &entry->value : nullptr;
    }
    const Value* find(std::string_view key) const noexcept {
        return const_cast<KeyedMap*>(this)->find(key);
    }
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
    // Whether `key`, whose hash under this map's keys is `h`, is present.
    bool contains_hashed(std::string_view key, uint64_t h) const noexcept {
        return table_ != 0 && lookup(key, h) != nullptr;
    }

    template <class Fn>
    void for_each(Fn&& fn) const {
        const uint32_t capacity = capacity_of();
        const uint8_t* c = control();
        for (uint32_t i = 0; i < capacity; ++i)
            if (c[i]) fn(entries()[i].key, entries()[i].value);
    }
    template <class Fn>
    void for_each_mut(Fn&& fn) {
        const uint32_t capacity = capacity_of();
        const uint8_t* c = control();
        for (uint32_t i = 0; i < capacity; ++i)
            if (c[i]) fn(entries()[i].key, entries()[i].value);
    }

    class const_iterator {
    public:
        const_iterator(const KeyedMap* map, uint32_t i) noexcept : map_(map), i_(i) { settle(); }
        const Entry& operator*() const noexcept { return map_->entries()[i_]; }
        const Entry* operator->() const noexcept { return &map_->entries()[i_]; }
        const_iterator& operator++() noexcept { ++i_; settle(); return *this; }
        bool operator==(const const_iterator& o) const noexcept { return i_ == o.i_; }
        bool operator!=(const const_iterator& o) const noexcept { return i_ != o.i_; }
    private:
        void settle() noexcept {
            while (i_ < map_->capacity_of() && !map_->control()[i_]) ++i_;
        }
        const KeyedMap* map_;
        uint32_t i_;
    };
    const_iterator begin() const noexcept { return const_iterator(this, 0); }
    const_iterator end() const noexcept { return const_iterator(this, capacity_of()); }

private:
    static constexpr uint32_t kMaxCapacity = uint32_t{1} << 31;
    // Tables up to this many slots are sized exactly and may fill completely.
    static constexpr uint32_t kExactCapacity = 8;
    // The low bits of `table_`: the slot count of a small table, 0 for a large
    // one. Tables come from plain operator new (an aligned one would round the
    // size up to the alignment), or from blocks that do and place them at no
    // coarser alignment, so they have as many low bits free as it guarantees:
    // four on 64-bit systems, three on 32-bit ones, where a table of eight
    // slots is a large one.
    static constexpr uintptr_t kSmallMask = __STDCPP_DEFAULT_NEW_ALIGNMENT__ >= 16 ? 15 : 7;
    static_assert(TableBlocks::kAlignment > kSmallMask);
    static constexpr uint32_t kMaxSmall = kExactCapacity < kSmallMask ? kExactCapacity : kSmallMask;
    struct Header {
        uint32_t capacity;
        uint32_t size;
    };
    static constexpr size_t kHeaderBytes = sizeof(Entry) > sizeof(Header) ? sizeof(Entry) : sizeof(Header);
    static_assert(kHeaderBytes % alignof(Entry) == 0 && __STDCPP_DEFAULT_NEW_ALIGNMENT__ >= 8);

    static constexpr uint64_t max_load(uint64_t capacity) noexcept {
        return capacity <= kExactCapacity ? capacity : capacity - capacity / 8;
    }
    static uint32_t first_slot(uint64_t h, uint32_t capacity) noexcept {
        return static_cast<uint32_t>((static_cast<uint64_t>(static_cast<uint32_t>(h)) * capacity) >> 32);
    }
    static uint32_t next_slot(uint32_t i, uint32_t capacity) noexcept { return i + 1 == capacity ? 0 : i + 1; }
    static uint8_t tag_of(uint64_t h) noexcept { return static_cast<uint8_t>(0x80 | (h >> 57)); }

    Header* header() const noexcept { return reinterpret_cast<Header*>(table_); }
    uint32_t capacity_of() const noexcept {
        const uint32_t small = table_ & kSmallMask;
        return small ? small : table_ ? header()->capacity : 0;
    }
    // A small table counts its used control bytes; a large one keeps its size.
    void count_insertion() noexcept {
        if ((table_ & kSmallMask) == 0) ++header()->size;
    }
    Entry* entries() const noexcept {
        const uintptr_t base = table_ & ~kSmallMask;
        return reinterpret_cast<Entry*>((table_ & kSmallMask) ? base : base + kHeaderBytes);
    }
    uint8_t* control() const noexcept {
        return reinterpret_cast<uint8_t*>(entries()) + sizeof(Entry) * capacity_of();
    }
    uint64_t hash(std::string_view k) const noexcept { return siphash13(keys_, k); }

    Entry* lookup(std::string_view k, uint64_t h) const noexcept {
        const uint32_t capacity = capacity_of();
        if (capacity == 0) return nullptr;
        const uint8_t tag = tag_of(h);
        Entry* const e = entries();
        const uint8_t* c = reinterpret_cast<const uint8_t*>(e + capacity);
        uint32_t i = first_slot(h, capacity);
        for (uint32_t probes = 0; probes < capacity; ++probes, i = next_slot(i, capacity)) {
            if (c[i] == 0) return nullptr;
            if (c[i] == tag && bytes_of(e[i].key) == k) return &e[i];
        }
        return nullptr;  // a full small table without the key
    }
    // Grows geometrically, so that inserting one by one stays linear.
    void grow_for_one_more() {
        const uint64_t capacity = capacity_of();
        const uint64_t wanted = size() + 1;
        if (wanted > max_load(capacity)) reserve(wanted > 2 * capacity ? wanted : 2 * capacity);
    }
    // The table has a free slot (guaranteed by the load limit).
    void place(uint64_t h, Entry&& entry) noexcept {
        const uint32_t capacity = capacity_of();
        Entry* const e = entries();
        uint8_t* c = reinterpret_cast<uint8_t*>(e + capacity);
        uint32_t i = first_slot(h, capacity);
        while (c[i] != 0) i = next_slot(i, capacity);
        new (&e[i]) Entry(std::move(entry));
        c[i] = tag_of(h);
    }
    void allocate(uint32_t capacity, TableBlocks* blocks = nullptr) {
        const bool small = capacity <= kMaxSmall;
        const size_t bytes =
            (small ? 0 : kHeaderBytes) + (sizeof(Entry) + 1) * static_cast<size_t>(capacity) + sizeof(uint16_t);
        TableBlocks::Room room{nullptr, 0};
        if (blocks && bytes <= TableBlocks::kLargestTable) room = blocks->take(bytes);
        const uint16_t distance = room.distance;
        const auto base = reinterpret_cast<uintptr_t>(room.at ? room.at : ::operator new(bytes));
        if (small) {
            table_ = base | capacity;
        } else {
            table_ = base;
            *header() = Header{capacity, 0};
        }
        std::memset(control(), 0, capacity);
        std::memcpy(control() + capacity, &distance, sizeof distance);
    }
    void rehash(uint32_t capacity, TableBlocks* blocks = nullptr) {
        KeyedMap old(keys_);
        old.table_ = std::exchange(table_, 0);
        const uint32_t old_capacity = old.capacity_of();
        Entry* old_entries = old_capacity ? old.entries() : nullptr;
        const uint8_t* old_control = old_capacity ? old.control() : nullptr;
        try {
            allocate(capacity, blocks);
        } catch (...) {
            table_ = std::exchange(old.table_, 0);
            throw;
        }
        for (uint32_t i = 0; i < old_capacity; ++i) {
            if (old_control[i]) {
                place(hash(bytes_of(old_entries[i].key)), std::move(old_entries[i]));
                count_insertion();
            }
        }
        // `old` destroys the moved-from entries and frees its table.
    }
    void destroy() noexcept {
        if (!table_) return;
        const uint32_t capacity = capacity_of();
        const uint8_t* c = control();
        for (uint32_t i = 0; i < capacity; ++i)
            if (c[i]) entries()[i].~Entry();
        uint16_t distance;
        std::memcpy(&distance, c + capacity, sizeof distance);
        void* const base = reinterpret_cast<void*>(table_ & ~kSmallMask);
        if (distance)
            TableBlocks::release(base, distance);
        else
            ::operator delete(base);
        table_ = 0;
    }

    HashKeys keys_;
    uintptr_t table_ = 0;  // the table's address, tagged with a small table's slot count
};

}  // namespace brindxml
