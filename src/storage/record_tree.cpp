#include "storage/record_tree.hpp"

#include <utility>

#include "platform/system.hpp"
#include "storage/view_batches.hpp"

namespace brindxml {

RecordTree& RecordTree::operator=(RecordTree&& other) noexcept {
    if (this != &other) {
        release();
        records_ = std::move(other.records_);
    }
    return *this;
}

RecordTree::~RecordTree() { release(); }

void RecordTree::release() noexcept {
    ViewReleaseBatch views;
    for (FlatRecord& record : records_) {
        views.drop(record.name);
        views.drop(record.text);
        views.drop(record.attrs);
    }
    records_.clear();
}

void RecordTree::reserve(size_t count) {
    records_.reserve(count);
    // Sized for the whole tree, which the builder fills front to back.
    const size_t bytes = records_.capacity() * sizeof(FlatRecord);
    if (bytes >= platform::kLargePagesWorthFrom) platform::prefer_large_pages(records_.data(), bytes);
}

void RecordTree::remove_last() noexcept {
    ViewReleaseBatch views;
    FlatRecord& record = records_.back();
    views.drop(record.name);
    views.drop(record.text);
    views.drop(record.attrs);
    records_.pop_back();
}

ElementRecord RecordTree::nested() && {
    // Each record's children are reserved up front from its count, so the
    // pointers on the stack stay valid while later siblings are added.
    struct Open {
        ElementRecord* record;
        uint64_t remaining;
    };
    ElementRecord root;
    if (records_.empty()) return root;
    std::vector<Open> open;
    for (FlatRecord& flat : records_) {
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
    records_.clear();
    return root;
}

}  // namespace brindxml
