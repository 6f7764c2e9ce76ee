// Turning a record tree from the reader into Node objects.
#pragma once

#include <Python.h>

#include "storage/element_record.hpp"

namespace brindxml {

// Consumes `record` bottom-up, children first, moving every string (views keep
// pointing into their SourceText). Uses an explicit stack, so any depth works.
// Returns a new reference, or null with an error set.
PyObject* node_from_record(ElementRecord&& record);

}  // namespace brindxml
