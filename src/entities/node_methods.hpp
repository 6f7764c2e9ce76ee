// The methods of Node, defined in the files that implement them and
// registered by the method table in node_method_table.cpp.
#pragma once

#include <Python.h>

namespace brindxml {

// node_text_forms.cpp
PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// node_search.cpp
PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// dict_import.cpp (a class method: `cls` is the Node type)
PyObject* node_from_dict(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// dict_export.cpp
PyObject* node_to_dict(PyObject* self, PyObject* unused);

}  // namespace brindxml
