// A hash map from a byte-string key to a value, hashed with keyed SipHash-1-3.
// Open addressing with linear probing over a power-of-two table; entries are
// enumerated in table order, and a copy keeps every entry in the same slot, so
// a copy enumerates exactly like its original.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "storage/siphash.hpp"

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

    KeyedMap(const KeyedMap& other) : keys_(other.keys_), size_(other.size_) {
        if (other.capacity_ == 0) return;
        allocate(other.capacity_);
        for (uint64_t i = 0; i < capacity_; ++i) {
            if (other.slots_[i].hash & kOccupied) {
                new (&slots_[i].entry) Entry(other.slots_[i].entry);
                slots_[i].hash = other.slots_[i].hash;
            }
        }
    }
    KeyedMap(KeyedMap&& other) noexcept
        : keys_(other.keys_),
          slots_(std::exchange(other.slots_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          size_(std::exchange(other.size_, 0)) {}
    KeyedMap& operator=(KeyedMap other) noexcept {
        swap(other);
        return *this;
    }
    ~KeyedMap() { destroy(); }

    void swap(KeyedMap& other) noexcept {
        std::swap(keys_, other.keys_);
        std::swap(slots_, other.slots_);
        std::swap(capacity_, other.capacity_);
        std::swap(size_, other.size_);
    }

    HashKeys keys() const noexcept { return keys_; }
    uint64_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    uint64_t capacity() const noexcept { return capacity_; }

    void reserve(uint64_t expected) {
        if (expected == 0) return;
        uint64_t wanted = 4;
        while (wanted - wanted / 4 < expected) {
            if (wanted > (uint64_t{1} << 58)) throw std::bad_alloc();
            wanted *= 2;
        }
        if (wanted > capacity_) rehash(wanted);
    }

    // Inserts, or replaces the value of an existing key (the old value is dropped).
    // Returns true when the key was new.
    bool insert_or_assign(Key key, Value value) {
        const std::string_view k = bytes_of(key);
        const uint64_t h = hash(k);
        if (Slot* slot = lookup(k, h)) {
            slot->entry.value = std::move(value);
            return false;
        }
        if ((size_ + 1) * 4 > capacity_ * 3) reserve(size_ + 1 > capacity_ ? size_ + 1 : capacity_);
        place(h, Entry{std::move(key), std::move(value)});
        ++size_;
        return true;
    }

    // Inserts a key known to be absent (the caller checked with find).
    void insert_new(Key key, Value value) {
        const uint64_t h = hash(bytes_of(key));
        if ((size_ + 1) * 4 > capacity_ * 3) reserve(size_ + 1 > capacity_ ? size_ + 1 : capacity_);
        place(h, Entry{std::move(key), std::move(value)});
        ++size_;
    }

    Value* find(std::string_view key) noexcept {
        Slot* slot = lookup(key, hash(key));
        return slot ? &slot->entry.value : nullptr;
    }
    const Value* find(std::string_view key) const noexcept {
        return const_cast<KeyedMap*>(this)->find(key);
    }
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

    template <class Fn>
    void for_each(Fn&& fn) const {
        for (uint64_t i = 0; i < capacity_; ++i)
            if (slots_[i].hash & kOccupied) fn(slots_[i].entry.key, slots_[i].entry.value);
    }
    template <class Fn>
    void for_each_mut(Fn&& fn) {
        for (uint64_t i = 0; i < capacity_; ++i)
            if (slots_[i].hash & kOccupied) fn(slots_[i].entry.key, slots_[i].entry.value);
    }

    class const_iterator {
    public:
        const_iterator(const KeyedMap* map, uint64_t i) noexcept : map_(map), i_(i) { settle(); }
        const Entry& operator*() const noexcept { return map_->slots_[i_].entry; }
        const Entry* operator->() const noexcept { return &map_->slots_[i_].entry; }
        const_iterator& operator++() noexcept { ++i_; settle(); return *this; }
        bool operator==(const const_iterator& o) const noexcept { return i_ == o.i_; }
        bool operator!=(const const_iterator& o) const noexcept { return i_ != o.i_; }
    private:
        void settle() noexcept {
            while (i_ < map_->capacity_ && !(map_->slots_[i_].hash & kOccupied)) ++i_;
        }
        const KeyedMap* map_;
        uint64_t i_;
    };
    const_iterator begin() const noexcept { return const_iterator(this, 0); }
    const_iterator end() const noexcept { return const_iterator(this, capacity_); }

private:
    // The top bit marks an occupied slot; the remaining bits cache the hash.
    static constexpr uint64_t kOccupied = uint64_t{1} << 63;
    struct Slot {
        uint64_t hash;  // 0 = empty
        union { Entry entry; };
        Slot() noexcept : hash(0) {}
        ~Slot() {}
    };

    uint64_t hash(std::string_view k) const noexcept { return siphash13(keys_, k) | kOccupied; }

    Slot* lookup(std::string_view k, uint64_t h) noexcept {
        if (capacity_ == 0) return nullptr;
        const uint64_t mask = capacity_ - 1;
        for (uint64_t i = h & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (s.hash == 0) return nullptr;
            if (s.hash == h && bytes_of(s.entry.key) == k) return &s;
        }
    }
    void place(uint64_t h, Entry&& entry) noexcept {
        const uint64_t mask = capacity_ - 1;
        uint64_t i = h & mask;
        while (slots_[i].hash != 0) i = (i + 1) & mask;
        new (&slots_[i].entry) Entry(std::move(entry));
        slots_[i].hash = h;
    }
    void allocate(uint64_t capacity) {
        slots_ = new Slot[capacity];
        capacity_ = capacity;
    }
    void rehash(uint64_t capacity) {
        Slot* old = slots_;
        const uint64_t old_capacity = capacity_;
        allocate(capacity);
        for (uint64_t i = 0; i < old_capacity; ++i) {
            if (old[i].hash & kOccupied) {
                place(old[i].hash, std::move(old[i].entry));
                old[i].entry.~Entry();
            }
        }
        delete[] old;
    }
    void destroy() noexcept {
        if (!slots_) return;
        for (uint64_t i = 0; i < capacity_; ++i)
            if (slots_[i].hash & kOccupied) slots_[i].entry.~Entry();
        delete[] slots_;
        slots_ = nullptr;
        capacity_ = 0;
        size_ = 0;
    }

    HashKeys keys_;
    Slot* slots_ = nullptr;
    uint64_t capacity_ = 0;
    uint64_t size_ = 0;
};

}  // namespace brindxml
