#include "entities/node_from_record.hpp"

#include <utility>
#include <vector>

#include "binding/entry.hpp"
#include "entities/node_builder.hpp"
#include "entities/node_object.hpp"

namespace brindxml {

namespace {

// Turns each record into a Node, moving its strings and attributes over.
struct RecordBuilder {
    struct Pending {
        ElementRecord* record = nullptr;
        size_t next_child = 0;
    };
    bool begin(ElementRecord* record, Pending& pending) noexcept {
        pending.record = record;
        return true;
    }
    size_t child_count(const Pending& pending) noexcept { return pending.record->children.size(); }
    bool next_child(Pending& pending, ElementRecord*& child) noexcept {
        if (pending.next_child == pending.record->children.size()) return false;
        child = &pending.record->children[pending.next_child++];
        return true;
    }
    NodeFields finish(Pending& pending, NodeChildren& children) noexcept {
        ElementRecord& record = *pending.record;
        NodeFields fields{std::move(record.name), std::move(record.text), children.take(), std::move(record.attrs)};
        // The record's children have all been converted; free their husks now.
        std::vector<ElementRecord>().swap(record.children);
        return fields;
    }
};

}  // namespace

PyObject* node_from_record(ElementRecord&& record) {
    ElementRecord root = std::move(record);
    return guarded([&] {
        RecordBuilder builder;
        return build_nodes_bottom_up(&root, builder).release();
    });
}

}  // namespace brindxml
