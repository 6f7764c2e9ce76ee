#include "storage/element_record.hpp"

#include <utility>

#include "storage/view_batches.hpp"

namespace brindxml {

namespace {

void drop_views(ElementRecord& record, ViewReleaseBatch& views) noexcept {
    views.drop(record.name);
    views.drop(record.text);
    views.drop(record.attrs);
}

// Frees a subtree depth first, without recursion and without allocating:
// teardown runs in destructors, during unwinding from a failed allocation
// among others, where it must not fail. Each level is freed from its last
// record back. Descending into the children of record `e`, the link back to
// the level above is kept in the first child's `children` (e adopts that
// child's own children, freed once the level below is done), so the first
// record of every level but the outermost is its link.
void release_children(std::vector<ElementRecord>&& children) noexcept {
    ViewReleaseBatch views;
    std::vector<ElementRecord> level = std::move(children);
    size_t depth = 0;  // levels above `level`
    for (;;) {
        while (level.size() > (depth > 0 ? 1u : 0u)) {
            ElementRecord& record = level.back();
            if (record.children.empty()) {
                drop_views(record, views);
                level.pop_back();
                continue;
            }
            std::vector<ElementRecord> below = std::exchange(record.children, {});
            ElementRecord& first = below.front();
            record.children = std::exchange(first.children, {});
            first.children = std::move(level);
            level = std::move(below);
            ++depth;
        }
        if (depth == 0) return;
        ElementRecord& holder = level.front();
        drop_views(holder, views);
        std::vector<ElementRecord> above = std::exchange(holder.children, {});
        level = std::move(above);  // frees the finished level, whose records own nothing
        --depth;
    }
}

}  // namespace

ElementRecord& ElementRecord::operator=(ElementRecord&& other) noexcept {
    if (this != &other) {
        if (!children.empty()) release_children(std::move(children));
        name = std::move(other.name);
        text = std::move(other.text);
        children = std::move(other.children);
        attrs = std::move(other.attrs);
    }
    return *this;
}

ElementRecord::~ElementRecord() {
    if (!children.empty()) release_children(std::move(children));
}

}  // namespace brindxml
