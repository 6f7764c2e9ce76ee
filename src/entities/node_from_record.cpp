#include "entities/node_from_record.hpp"

#include <utility>
#include <vector>

#include "binding/entry.hpp"
#include "entities/node_object.hpp"

namespace brindxml {

namespace {

struct Frame {
    ElementRecord* record;
    size_t next_child;
    std::vector<PyObject*> children;
};

void release_frames(std::vector<Frame>& stack) noexcept {
    for (Frame& frame : stack) release_children(frame.children);
}

// Builds the Node of every record under `root`, children before their
// parent, and returns the root's.
PyObject* build_nodes_bottom_up(ElementRecord& root) {
    std::vector<Frame> stack;
    stack.push_back(Frame{&root, 0, {}});
    stack.back().children.reserve(root.children.size());
    try {
        for (;;) {
            Frame& top = stack.back();
            if (top.next_child < top.record->children.size()) {
                ElementRecord* child = &top.record->children[top.next_child++];
                stack.push_back(Frame{child, 0, {}});
                stack.back().children.reserve(child->children.size());
                continue;
            }
            ElementRecord& record = *top.record;
            NodeFields fields{std::move(record.name), std::move(record.text), std::move(top.children),
                              std::move(record.attrs)};
            // The record's children have all been converted; free their husks now.
            std::vector<ElementRecord>().swap(record.children);
            stack.pop_back();
            PyObject* node = new_node_object(std::move(fields));
            if (!node) {
                release_frames(stack);
                return nullptr;
            }
            if (stack.empty()) return node;
            stack.back().children.push_back(node);
        }
    } catch (...) {
        release_frames(stack);
        throw;
    }
}

}  // namespace

PyObject* node_from_record(ElementRecord&& record) noexcept {
    ElementRecord root = std::move(record);
    return guarded([&] { return build_nodes_bottom_up(root); });
}

}  // namespace brindxml
