// The Node object: one XML element, immutable after construction.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "storage/attr_map.hpp"
#include "storage/node_string.hpp"

namespace brindxml {

// The content of a node. `children` holds strong references.
struct NodeFields {
    NodeString name;
    OptionalNodeString text;
    std::vector<PyObject*> children;
    AttrMap attrs;
};

struct NodeObject {
    PyObject_HEAD
    NodeFields fields;
    std::atomic<int64_t> borrows;
};

// The process-wide Node type (borrowed), created on first use; null with an error set on failure.
PyTypeObject* node_type() noexcept;

inline bool is_node(PyObject* object) noexcept {
    PyTypeObject* type = node_type();
    return type && PyObject_TypeCheck(object, type);
}
inline NodeObject* as_node(PyObject* object) noexcept { return reinterpret_cast<NodeObject*>(object); }
inline const NodeFields& fields_of(PyObject* object) noexcept { return as_node(object)->fields; }

// Allocates a Node and moves `fields` into it. On failure releases the fields
// (their child references included) and returns null with an error set.
PyObject* new_node_object(NodeFields&& fields) noexcept;

// Releases the child references of fields that never became a node.
void release_children(std::vector<PyObject*>& children) noexcept;

// Shared borrows of a node's fields. Only shared borrows are ever taken (the
// fields never change), so taking one always succeeds.
inline void take_shared_borrow(PyObject* object) noexcept {
    NodeObject* node = as_node(object);
    int64_t current = node->borrows.load(std::memory_order_relaxed);
    for (;;) {
        if (current == -1) {
            current = node->borrows.load(std::memory_order_relaxed);
            continue;
        }
        if (node->borrows.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) return;
    }
}
inline void end_shared_borrow(PyObject* object) noexcept {
    as_node(object)->borrows.fetch_sub(1, std::memory_order_release);
}

class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* node) noexcept : node_(node) { take_shared_borrow(node); }
    ~SharedBorrow() { end_shared_borrow(node_); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    PyObject* node_;
};

// The str of a node string's bytes (a new reference, or null with an error set).
inline PyObject* to_py_str(const NodeString& s) noexcept {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace brindxml
