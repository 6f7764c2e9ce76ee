#include "entities/snapshot.hpp"

#include <string_view>
#include <vector>

#include "entities/node_object.hpp"
#include "entities/node_walk.hpp"
#include "platform/compiler.hpp"

namespace brindxml {

namespace {

// Adds each node as the walk enters it. No string or table is copied: a
// node's fields never change after it is built, so the strings and attribute
// table each node owns stay alive and unchanged until the write ends, and
// reading them from another thread, or with the thread state released, is
// reading immutable memory. A node's data says whether it is its parent's
// first child and follows the parent's text.
struct SnapshotVisitor {
    FlatSnapshot& snapshot;

    bool enter(const NodeFields& fields, bool& follows_text, uint64_t depth) {
        std::string_view text;
        if (fields.text) text = fields.text->bytes();
        snapshot.add_element(fields.name.bytes(), fields.text ? &text : nullptr, fields.children.size(),
                             fields.attrs, depth, follows_text);
        return true;
    }

    bool child(const NodeFields& parent, bool&, size_t index) {
        const ChildArray& siblings = parent.children;
        // The next siblings are asked for ahead of the walk into this child's
        // subtree, one stage per sibling: the third one's object, the second
        // one's strings and attribute table, the next one's attribute values
        // where they have buffers of their own (views lie in document order,
        // which the processor's own prefetching follows).
        if (index + 3 < siblings.size()) {
            platform::prefetch(siblings[index + 3]);
            platform::prefetch(reinterpret_cast<const char*>(siblings[index + 3]) + 64);
        }
        if (index + 2 < siblings.size()) {
            const NodeFields& later = fields_of(siblings[index + 2]);
            platform::prefetch(later.name.data());
            if (later.text) platform::prefetch(later.text->data());
            later.attrs.prefetch_table();
        }
        if (index + 1 < siblings.size()) {
            const AttrMap::RawTable table = fields_of(siblings[index + 1]).attrs.raw_table();
            for (uint32_t i = 0; i < table.capacity; ++i)
                if (table.control[i] && !table.entries[i].value.is_view())
                    platform::prefetch(table.entries[i].value.data());
        }
        return index == 0 && parent.text.has_value();
    }

    bool leave(const NodeFields&, bool&, uint64_t) { return true; }
};

}  // namespace

void snapshot_tree(PyObject* root, FlatSnapshot& snapshot) {
    SnapshotVisitor visitor{snapshot};
    walk_nodes(root, false, visitor);
}

}  // namespace brindxml
