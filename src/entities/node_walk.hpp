// The depth-first walk over a Node tree, on an explicit stack so that a tree
// of any depth is walked without native recursion.
//
// The walk takes no reference to the nodes it passes: the caller holds the
// root for the whole walk, every node holds its children, and a node's
// children never change after it is built, so each node on the path outlives
// the walk. Counting references here would only make threads that walk one
// tree at once contend for the same counts. For the same reason the walk may
// stop at a safe point (binding/safe_point.hpp) between nodes: its visitors
// keep plain data and touch no Python object.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "binding/safe_point.hpp"
#include "entities/node_object.hpp"

namespace brindxml {

// Visits `root` and every node below it in document order (a node reachable
// by several paths once per path). Each node carries a `Data` of the
// visitor's own, `root_data` for the root. The visitor provides:
//   bool enter(const NodeFields& node, Data& data, uint64_t depth): before
//       the node's children; false stops the walk.
//   Data child(const NodeFields& parent, Data& parent_data, size_t index):
//       the data of the parent's child `index`, just before it is entered.
//   bool leave(const NodeFields& node, Data& data, uint64_t depth): after
//       the node's children; false stops the walk.
// Returns false when the visitor stopped the walk. A node without children is
// left at once, without going on the stack.
template <class Data, class Visitor>
bool walk_nodes(PyObject* root, Data root_data, Visitor& visitor) {
    struct Frame {
        const NodeFields* fields;
        size_t next_child;
        Data data;
    };
    const NodeFields& root_fields = fields_of(root);
    if (!visitor.enter(root_fields, root_data, 0)) return false;
    if (root_fields.children.empty()) return visitor.leave(root_fields, root_data, 0);
    std::vector<Frame> path;
    path.push_back(Frame{&root_fields, 0, std::move(root_data)});
    SafePoint safe_point;
    while (!path.empty()) {
        Frame& top = path.back();
        const ChildArray& children = top.fields->children;
        if (top.next_child == children.size()) {
            const bool go_on = visitor.leave(*top.fields, top.data, path.size() - 1);
            path.pop_back();
            if (!go_on) return false;
            continue;
        }
        const size_t index = top.next_child++;
        safe_point.tick();
        Data data = visitor.child(*top.fields, top.data, index);
        const NodeFields& child = fields_of(children[index]);
        const uint64_t depth = path.size();
        if (!visitor.enter(child, data, depth)) return false;
        if (child.children.empty()) {
            if (!visitor.leave(child, data, depth)) return false;
        } else {
            path.push_back(Frame{&child, 0, std::move(data)});
        }
    }
    return true;
}

}  // namespace brindxml
