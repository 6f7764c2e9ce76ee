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

void release_children(std::vector<ElementRecord>&& children) noexcept {
    ViewReleaseBatch views;
    std::vector<std::vector<ElementRecord>> pending;
    pending.push_back(std::move(children));
    while (!pending.empty()) {
        std::vector<ElementRecord> level = std::move(pending.back());
        pending.pop_back();
        for (ElementRecord& child : level) {
            drop_views(child, views);
            if (!child.children.empty()) pending.push_back(std::move(child.children));
        }
        // `level` is destroyed here; its elements no longer own any children.
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
