// The Node object: one XML element, immutable after construction.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "entities/child_array.hpp"
#include "storage/attr_map.hpp"
#include "storage/node_string.hpp"

namespace brindxml {

// The content of a node. `children` holds strong references.
struct NodeFields {
    NodeString name;
    OptionalNodeString text;
    ChildArray children;
    AttrMap attrs;
};

struct NodeObject {
    PyObject_HEAD
    NodeFields fields;
};

// The process-wide Node type (borrowed), created on first use; null with an error set on failure.
PyTypeObject* node_type() noexcept;

// Makes a newly created type's name `name` (a static string), without the
// module that its spec's name carries; __module__ keeps the module. The
// interpreter's own messages then say 'Node', not 'brindxml.Node'.
void drop_module_from_type_name(PyTypeObject* type, const char* name) noexcept;

inline bool is_node(PyObject* object) noexcept {
    PyTypeObject* type = node_type();
    return type && PyObject_TypeCheck(object, type);
}
inline NodeObject* as_node(PyObject* object) noexcept { return reinterpret_cast<NodeObject*>(object); }
inline const NodeFields& fields_of(PyObject* object) noexcept { return as_node(object)->fields; }

// Allocates a Node and moves `fields` into it. On failure releases the fields
// (their child references included) and returns null with an error set.
PyObject* new_node_object(NodeFields&& fields) noexcept;

// Releases the child references of fields that never became a node, and
// empties the array.
void release_children(ChildArray& children) noexcept;
void release_children(std::vector<PyObject*>& children) noexcept;

}  // namespace brindxml
