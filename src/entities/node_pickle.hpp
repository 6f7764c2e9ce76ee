// Copying and pickling nodes (node_pickle.cpp).
#pragma once

#include <Python.h>

namespace brindxml {

// Node.__copy__ and Node.__deepcopy__: the node itself.
PyObject* node_copy(PyObject* self, PyObject* unused);
PyObject* node_deepcopy(PyObject* self, PyObject* memo);
// Node.__reduce__: (brindxml._node_from_table, (strings, table)).
PyObject* node_reduce(PyObject* self, PyObject* unused);

// The module attribute that loads a pickled node; not in __all__.
inline constexpr const char* kTableLoaderName = "_node_from_table";
PyObject* node_from_table_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace brindxml
