#include "entities/snapshot.hpp"

#include <string_view>
#include <vector>

#include "entities/node_object.hpp"
#include "platform/compiler.hpp"

namespace brindxml {

// No reference is taken on the nodes visited, and no string or table is
// copied: the caller holds a reference to the root for the whole write, each
// node holds its children, and a node's fields never change after it is built,
// so every node below the root, with the strings and attribute table it owns,
// stays alive and unchanged until the write ends. Reading them from another
// thread, or with the thread state released, is reading immutable memory.
void snapshot_tree(PyObject* root, FlatSnapshot& snapshot) {
    struct Frame {
        const NodeFields* fields;
        size_t next_child;
    };
    auto add = [&](PyObject* node, uint64_t depth, bool follows_text) -> const NodeFields& {
        SharedBorrow borrow(node);
        const NodeFields& fields = fields_of(node);
        std::string_view text;
        if (fields.text) text = fields.text->bytes();
        snapshot.add_element(fields.name.bytes(), fields.text ? &text : nullptr, fields.children.size(),
                             fields.attrs, depth, follows_text);
        return fields;
    };
    std::vector<Frame> stack;
    const NodeFields& root_fields = add(root, 0, false);
    if (!root_fields.children.empty()) stack.push_back({&root_fields, 0});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next_child == top.fields->children.size()) {
            stack.pop_back();
            continue;
        }
        const std::vector<PyObject*>& siblings = top.fields->children;
        const size_t index = top.next_child++;
        // The next siblings are asked for ahead of the walk into this child's
        // subtree, one stage per sibling: the third one's object, the second
        // one's strings and attribute table, the next one's attribute values.
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
                if (table.control[i]) platform::prefetch(table.entries[i].value.data());
        }
        const bool first_after_text = index == 0 && top.fields->text.has_value();
        const NodeFields& child = add(siblings[index], stack.size(), first_after_text);
        if (!child.children.empty()) stack.push_back({&child, 0});
    }
}

}  // namespace brindxml
