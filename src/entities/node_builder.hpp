// Children-first construction of Node trees on an explicit stack, so a tree of
// any depth is built without native recursion.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "binding/py_ref.hpp"
#include "entities/node_object.hpp"

namespace brindxml {

// The strong references to the children built so far for one node. They are
// handed to the node's fields with take(); any still held when the build
// fails are released with it.
class NodeChildren {
public:
    NodeChildren() noexcept = default;
    NodeChildren(NodeChildren&& other) noexcept : refs_(std::exchange(other.refs_, {})) {}
    NodeChildren& operator=(NodeChildren&& other) noexcept {
        if (this != &other) {
            drop();
            refs_ = std::exchange(other.refs_, {});
        }
        return *this;
    }
    NodeChildren(const NodeChildren&) = delete;
    NodeChildren& operator=(const NodeChildren&) = delete;
    ~NodeChildren() { drop(); }

    void reserve(size_t count) { refs_.reserve(count); }
    // If the slot cannot be made, `child` still owns the reference and drops it.
    void push_back(PyRef&& child) {
        refs_.push_back(child.get());
        child.release();
    }
    ChildArray take() noexcept { return std::exchange(refs_, {}); }

private:
    void drop() noexcept {
        if (!refs_.empty()) release_children(refs_);
    }
    ChildArray refs_;
};

// Builds the Node of `root` and of every item below it, children before their
// parent. An item is whatever describes one node (a record, a map); `builder`
// provides, with `Pending` its state for one node whose children are built:
//   bool begin(Item&& item, Pending& pending): false with an error set.
//   size_t child_count(const Pending& pending)
//   bool next_child(Pending& pending, Item& child): false when none is left.
//   NodeFields finish(Pending& pending, NodeChildren& children): the node's
//       fields, with children.take() once nothing more can throw.
// Returns the root's node, or null with an error set. Throws std::bad_alloc
// on memory exhaustion; the nodes built so far are released either way.
template <class Builder, class Item>
PyRef build_nodes_bottom_up(Item root, Builder& builder) {
    struct Frame {
        typename Builder::Pending pending;
        NodeChildren children;
    };
    std::vector<Frame> stack;
    auto begin = [&](Item&& item) {
        stack.emplace_back();
        Frame& frame = stack.back();
        if (!builder.begin(std::move(item), frame.pending)) return false;
        frame.children.reserve(builder.child_count(frame.pending));
        return true;
    };
    if (!begin(std::move(root))) return PyRef();
    for (;;) {
        Frame& top = stack.back();
        Item child{};
        if (builder.next_child(top.pending, child)) {
            if (!begin(std::move(child))) return PyRef();
            continue;
        }
        NodeFields fields = builder.finish(top.pending, top.children);
        stack.pop_back();
        PyObject* node = new_node_object(std::move(fields));
        if (!node) return PyRef();
        if (stack.empty()) return PyRef::steal(node);
        stack.back().children.push_back(PyRef::steal(node));
    }
}

}  // namespace brindxml
