// Turning the reader's record tree into Node objects.
#pragma once

#include <Python.h>

#include "storage/record_tree.hpp"

namespace brindxml {

// Consumes `tree` from its last record back to its first, so every element's
// children are nodes before it is, moving every string (views keep pointing
// into their SourceText). No recursion, so any depth works. Returns a new
// reference to the first record's node, or null with an error set.
PyObject* node_from_records(RecordTree&& tree);

}  // namespace brindxml
