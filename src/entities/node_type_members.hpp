// The slots and members of the Node type, defined in the files that implement them.
#pragma once

#include <Python.h>

namespace brindxml {

PyObject* node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);  // node_constructor.cpp
PyObject* node_repr(PyObject* self);                                        // node_text_forms.cpp
PyObject* node_str(PyObject* self);                                         // node_text_forms.cpp
PyGetSetDef* node_getset();                                                 // node_properties.cpp
PyMethodDef* node_methods();                                                // node_methods.cpp

}  // namespace brindxml
