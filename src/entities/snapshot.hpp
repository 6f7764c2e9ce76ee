// The writer's snapshot of a Node tree.
#pragma once

#include <Python.h>

#include "write/flat_snapshot.hpp"

namespace brindxml {

// Needs the thread state. Adds every element of the tree under `root` to
// `snapshot` in document order (a node reachable by several paths once per
// path), with the addresses of its strings and attribute table; attributes
// keep their map's order. The caller holds a reference to `root` until the
// snapshot has been written. Explicit stack: any depth works. Throws
// std::bad_alloc on memory exhaustion.
void snapshot_tree(PyObject* root, FlatSnapshot& snapshot);

}  // namespace brindxml
