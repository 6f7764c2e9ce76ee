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
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform/compiler.hpp"
#include "base/siphash.hpp"

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
        if (capacity_ == 0) return copy;
        copy.allocate(capacity_);
        const uint8_t* source_control = control();
        for (uint32_t i = 0; i < capacity_; ++i) {
            if (source_control[i]) {
                new (&copy.entries()[i]) Entry(copy_entry(entries()[i].key, entries()[i].value));
                copy.control()[i] = source_control[i];
                ++copy.size_;
            }
        }
        return copy;
    }
    KeyedMap(KeyedMap&& other) noexcept
        : keys_(other.keys_),
          storage_(std::exchange(other.storage_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          size_(std::exchange(other.size_, 0)) {}
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
            storage_ = std::exchange(other.storage_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~KeyedMap() { destroy(); }

    void swap(KeyedMap& other) noexcept {
        std::swap(keys_, other.keys_);
        std::swap(storage_, other.storage_);
        std::swap(capacity_, other.capacity_);
        std::swap(size_, other.size_);
    }

    HashKeys keys() const noexcept { return keys_; }
    // Asks the processor for the table ahead of a walk over many maps.
    void prefetch_table() const noexcept {
        const auto* table = reinterpret_cast<const char*>(storage_);
        const size_t bytes = (sizeof(Entry) + 1) * static_cast<size_t>(capacity_);
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
        return {capacity_ ? entries() : nullptr, capacity_ ? control() : nullptr, capacity_};
    }

    // The entry in slot `i` (below capacity()), or null for an empty slot:
    // for walks that free nested maps in place, without allocating.
    Entry* slot(uint64_t i) noexcept { return control()[i] ? &entries()[i] : nullptr; }

    uint64_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    uint64_t capacity() const noexcept { return capacity_; }

    void reserve(uint64_t expected) {
        if (expected <= max_load(capacity_)) return;
        if (expected > kMaxCapacity - kMaxCapacity / 8) throw std::bad_alloc();
        if (expected <= kExactCapacity) return rehash(static_cast<uint32_t>(expected));
        uint32_t wanted = 2 * kExactCapacity;
        while (max_load(wanted) < expected) wanted *= 2;
        rehash(wanted);
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
        place(h, Entry{std::move(key), std::move(value)});
        ++size_;
        return true;
    }

    // Inserts a key known to be absent (the caller checked, or the keys are unique).
    void insert_new(Key key, Value value) {
        const uint64_t h = hash(bytes_of(key));
        grow_for_one_more();
        place(h, Entry{std::move(key), std::move(value)});
        ++size_;
    }

    // Inserts a key known to be absent whose hash under this map's keys,
    // siphash13(keys(), key), the caller already has.
    void insert_new_hashed(Key key, Value value, uint64_t h) {
        grow_for_one_more();
        place(h, Entry{std::move(key), std::move(value)});
        ++size_;
    }

    Value* find(std::string_view key) noexcept {
        if (size_ == 0) return nullptr;
        Entry* entry = lookup(key, hash(key));
        return entry ? &entry->value : nullptr;
    }
    const Value* find(std::string_view key) const noexcept {
        return const_cast<KeyedMap*>(this)->find(key);
    }
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

    template <class Fn>
    void for_each(Fn&& fn) const {
        const uint8_t* c = control();
        for (uint32_t i = 0; i < capacity_; ++i)
            if (c[i]) fn(entries()[i].key, entries()[i].value);
    }
    template <class Fn>
    void for_each_mut(Fn&& fn) {
        const uint8_t* c = control();
        for (uint32_t i = 0; i < capacity_; ++i)
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
            while (i_ < map_->capacity_ && !map_->control()[i_]) ++i_;
        }
        const KeyedMap* map_;
        uint32_t i_;
    };
    const_iterator begin() const noexcept { return const_iterator(this, 0); }
    const_iterator end() const noexcept { return const_iterator(this, capacity_); }

private:
    static constexpr uint32_t kMaxCapacity = uint32_t{1} << 31;
    // Tables up to this many slots are sized exactly and may fill completely.
    static constexpr uint32_t kExactCapacity = 8;

    static constexpr uint64_t max_load(uint64_t capacity) noexcept {
        return capacity <= kExactCapacity ? capacity : capacity - capacity / 8;
    }
    uint32_t first_slot(uint64_t h) const noexcept {
        return static_cast<uint32_t>((static_cast<uint64_t>(static_cast<uint32_t>(h)) * capacity_) >> 32);
    }
    uint32_t next_slot(uint32_t i) const noexcept { return i + 1 == capacity_ ? 0 : i + 1; }
    static uint8_t tag_of(uint64_t h) noexcept { return static_cast<uint8_t>(0x80 | (h >> 57)); }

    Entry* entries() const noexcept { return reinterpret_cast<Entry*>(storage_); }
    uint8_t* control() const noexcept {
        return reinterpret_cast<uint8_t*>(storage_) + sizeof(Entry) * capacity_;
    }
    uint64_t hash(std::string_view k) const noexcept { return siphash13(keys_, k); }

    Entry* lookup(std::string_view k, uint64_t h) const noexcept {
        if (capacity_ == 0) return nullptr;
        const uint8_t tag = tag_of(h);
        const uint8_t* c = control();
        uint32_t i = first_slot(h);
        for (uint32_t probes = 0; probes < capacity_; ++probes, i = next_slot(i)) {
            if (c[i] == 0) return nullptr;
            if (c[i] == tag && bytes_of(entries()[i].key) == k) return &entries()[i];
        }
        return nullptr;  // a full small table without the key
    }
    // Grows geometrically, so that inserting one by one stays linear.
    void grow_for_one_more() {
        if (size_ + uint64_t{1} > max_load(capacity_))
            reserve(size_ + uint64_t{1} > 2 * uint64_t{capacity_} ? size_ + uint64_t{1} : 2 * uint64_t{capacity_});
    }
    // The table has a free slot (guaranteed by the load limit).
    void place(uint64_t h, Entry&& entry) noexcept {
        uint8_t* c = control();
        uint32_t i = first_slot(h);
        while (c[i] != 0) i = next_slot(i);
        new (&entries()[i]) Entry(std::move(entry));
        c[i] = tag_of(h);
    }
    void allocate(uint32_t capacity) {
        const size_t bytes = (sizeof(Entry) + 1) * static_cast<size_t>(capacity);
        storage_ = static_cast<unsigned char*>(::operator new(bytes));
        capacity_ = capacity;
        size_ = 0;
        std::memset(control(), 0, capacity);
    }
    void rehash(uint32_t capacity) {
        unsigned char* old_storage = storage_;
        const uint32_t old_capacity = capacity_;
        const uint32_t old_size = size_;
        Entry* old_entries = reinterpret_cast<Entry*>(old_storage);
        const uint8_t* old_control = old_storage ? old_storage + sizeof(Entry) * old_capacity : nullptr;
        allocate(capacity);
        for (uint32_t i = 0; i < old_capacity; ++i) {
            if (old_control[i]) {
                place(hash(bytes_of(old_entries[i].key)), std::move(old_entries[i]));
                old_entries[i].~Entry();
            }
        }
        size_ = old_size;
        ::operator delete(old_storage);
    }
    void destroy() noexcept {
        if (!storage_) return;
        const uint8_t* c = control();
        for (uint32_t i = 0; i < capacity_; ++i)
            if (c[i]) entries()[i].~Entry();
        ::operator delete(storage_);
        storage_ = nullptr;
        capacity_ = 0;
        size_ = 0;
    }

    HashKeys keys_;
    unsigned char* storage_ = nullptr;
    uint32_t capacity_ = 0;
    uint32_t size_ = 0;
};

}  // namespace brindxml
