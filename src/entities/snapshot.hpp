// Copying a Node tree into plain ElementRecord values for the writer.
#pragma once

#include <Python.h>

#include "storage/element_record.hpp"

namespace brindxml {

// Needs the thread state. Owned strings are copied, views share their
// SourceText, attribute maps are copied slot for slot (same order). A node
// reachable by several paths is copied once per path. Explicit stack: any
// depth works. Throws std::bad_alloc on memory exhaustion.
ElementRecord snapshot_tree(PyObject* root);

}  // namespace brindxml
