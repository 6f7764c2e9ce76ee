#include "entities/snapshot.hpp"

#include <vector>

#include "binding/py_ref.hpp"
#include "entities/node_object.hpp"
#include "storage/view_batches.hpp"

namespace brindxml {

namespace {

struct Frame {
    PyObject* node;          // strong reference, borrowed for the frame's life
    ElementRecord* record;
    size_t next_child;
};

void copy_fields(PyObject* node, ElementRecord& record, ViewShareBatch& views) {
    const NodeFields& fields = fields_of(node);
    record.name = views.copy(fields.name);
    record.attrs = views.copy(fields.attrs);
    record.text = views.copy(fields.text);
    record.children.resize(fields.children.size());
}

}  // namespace

ElementRecord snapshot_tree(PyObject* root) {
    ElementRecord result;
    // Declared after `result`: the copies' references are taken before a
    // failure could drop the copies.
    ViewShareBatch views;
    std::vector<Frame> stack;
    auto enter = [&](PyObject* node, ElementRecord* record) {
        // The frame first: if it cannot be stored, nothing has been taken yet.
        stack.push_back(Frame{node, record, 0});
        Py_INCREF(node);
        take_shared_borrow(node);
        copy_fields(node, *record, views);
    };
    auto leave_all = [&] {
        for (Frame& frame : stack) {
            end_shared_borrow(frame.node);
            Py_DECREF(frame.node);
        }
        stack.clear();
    };
    try {
        enter(root, &result);
        while (!stack.empty()) {
            Frame& top = stack.back();
            const std::vector<PyObject*>& children = fields_of(top.node).children;
            if (top.next_child < children.size()) {
                const size_t i = top.next_child++;
                enter(children[i], &top.record->children[i]);
                continue;
            }
            end_shared_borrow(top.node);
            Py_DECREF(top.node);
            stack.pop_back();
        }
    } catch (...) {
        leave_all();
        throw;
    }
    return result;
}

}  // namespace brindxml
