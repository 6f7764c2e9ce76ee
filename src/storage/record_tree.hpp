// What the reader builds: the elements of one tree as plain values, in
// document order (each element before its descendants), each with the number
// of its direct children. One array for the whole tree, so building it
// allocates nothing per element, and dropping it is a loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "storage/attr_map.hpp"
#include "storage/element_record.hpp"
#include "storage/node_string.hpp"

namespace brindxml {

struct FlatRecord {
    NodeString name;
    OptionalNodeString text;
    AttrMap attrs;
    uint64_t child_count = 0;
};

class RecordTree {
public:
    RecordTree() noexcept = default;
    RecordTree(RecordTree&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          mapped_(std::exchange(other.mapped_, 0)) {}
    RecordTree& operator=(RecordTree&& other) noexcept;
    RecordTree(const RecordTree&) = delete;
    RecordTree& operator=(const RecordTree&) = delete;
    // Returns every view's reference in batches.
    ~RecordTree() { release(); }

    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    FlatRecord& operator[](size_t i) noexcept { return data_[i]; }
    const FlatRecord& operator[](size_t i) const noexcept { return data_[i]; }
    const FlatRecord* begin() const noexcept { return data_; }
    const FlatRecord* end() const noexcept { return data_ + size_; }

    // Room for `count` records in all; throws std::bad_alloc.
    void reserve(size_t count) {
        if (count > capacity_) relocate(count);
    }
    // A new last record, empty; throws std::bad_alloc.
    FlatRecord& add() {
        if (size_ == capacity_) relocate(capacity_ < 8 ? 16 : 2 * capacity_);
        return *new (data_ + size_++) FlatRecord();
    }
    // Drops the last record (views included).
    void remove_last() noexcept;

    // The same tree as nested records (the form the core writer takes);
    // leaves this one empty. Throws std::bad_alloc.
    ElementRecord nested() &&;

private:
    // Moves the records to storage for `capacity` of them.
    void relocate(size_t capacity);
    void release() noexcept;

    // Large arrays come from the block memory, so a repeated parse of a
    // document of a common size reuses the pages of the last one.
    FlatRecord* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t mapped_ = 0;  // the mapped block's size, 0 while on malloc
};

}  // namespace brindxml
