// What the reader builds: the elements of one tree as plain values, in
// document order (each element before its descendants), each with the number
// of its direct children. One array for the whole tree, so building it
// allocates nothing per element, and dropping it is a loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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
    RecordTree(RecordTree&&) noexcept = default;
    RecordTree& operator=(RecordTree&& other) noexcept;
    RecordTree(const RecordTree&) = delete;
    RecordTree& operator=(const RecordTree&) = delete;
    // Returns every view's reference in batches.
    ~RecordTree();

    size_t size() const noexcept { return records_.size(); }
    bool empty() const noexcept { return records_.empty(); }
    FlatRecord& operator[](size_t i) noexcept { return records_[i]; }
    const FlatRecord& operator[](size_t i) const noexcept { return records_[i]; }
    const FlatRecord* begin() const noexcept { return records_.data(); }
    const FlatRecord* end() const noexcept { return records_.data() + records_.size(); }

    // Room for `count` records; throws std::bad_alloc.
    void reserve(size_t count);
    // A new last record, empty; throws std::bad_alloc.
    FlatRecord& add() { return records_.emplace_back(); }
    // Drops the last record (views included).
    void remove_last() noexcept;
    // Drops the last record once its strings and attributes have been moved
    // out: while it is still in cache, rather than in a second pass over the
    // whole array. (Whatever is left in it is freed one by one.)
    void pop_taken() noexcept { records_.pop_back(); }

    // The same tree as nested records (the form the core writer takes);
    // leaves this one empty. Throws std::bad_alloc.
    ElementRecord nested() &&;

private:
    void release() noexcept;
    std::vector<FlatRecord> records_;
};

}  // namespace brindxml
