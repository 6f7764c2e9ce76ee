#include "storage/record_tree.hpp"

#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "storage/block_memory.hpp"
#include "storage/view_batches.hpp"

namespace brindxml {

RecordTree& RecordTree::operator=(RecordTree&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

void RecordTree::relocate(size_t capacity) {
    if (capacity > SIZE_MAX / sizeof(FlatRecord)) throw std::bad_alloc();
    size_t mapped = 0;
    void* memory = block_memory::take(capacity * sizeof(FlatRecord), mapped);
    if (!memory) throw std::bad_alloc();
    auto* moved = static_cast<FlatRecord*>(memory);
    for (size_t i = 0; i < size_; ++i) {
        new (moved + i) FlatRecord(std::move(data_[i]));
        data_[i].~FlatRecord();  // moved from: owns nothing
    }
    if (data_) block_memory::give(data_, mapped_);
    data_ = moved;
    capacity_ = mapped ? mapped / sizeof(FlatRecord) : capacity;
    mapped_ = mapped;
}

void RecordTree::release() noexcept {
    if (!data_) return;
    {
        ViewReleaseBatch views;
        for (size_t i = 0; i < size_; ++i) {
            FlatRecord& record = data_[i];
            views.drop(record.name);
            views.drop(record.text);
            views.drop(record.attrs);
            record.~FlatRecord();
        }
    }
    block_memory::give(data_, mapped_);
    data_ = nullptr;
    size_ = capacity_ = mapped_ = 0;
}

void RecordTree::remove_last() noexcept {
    ViewReleaseBatch views;
    FlatRecord& record = data_[--size_];
    views.drop(record.name);
    views.drop(record.text);
    views.drop(record.attrs);
    record.~FlatRecord();
}

ElementRecord RecordTree::nested() && {
    // Each record's children are reserved up front from its count, so the
    // pointers on the stack stay valid while later siblings are added.
    struct Open {
        ElementRecord* record;
        uint64_t remaining;
    };
    ElementRecord root;
    std::vector<Open> open;
    for (size_t i = 0; i < size_; ++i) {
        FlatRecord& flat = data_[i];
        ElementRecord* record = &root;
        if (!open.empty()) {
            record = &open.back().record->children.emplace_back();
            if (--open.back().remaining == 0) open.pop_back();
        }
        record->name = std::move(flat.name);
        record->text = std::move(flat.text);
        record->attrs = std::move(flat.attrs);
        if (flat.child_count) {
            record->children.reserve(static_cast<size_t>(flat.child_count));
            open.push_back(Open{record, flat.child_count});
        }
    }
    release();  // every record was moved from
    return root;
}

}  // namespace brindxml
