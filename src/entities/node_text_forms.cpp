// repr(node) and str(node).
#include <string>

#include "binding/entry.hpp"
#include "entities/node_object.hpp"
#include "entities/node_type_members.hpp"

namespace brindxml {

PyObject* node_repr(PyObject* self) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(self);
        std::string text = "Node(";
        text += fields_of(self).name.bytes();
        text += ')';
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* node_str(PyObject* self) { return node_repr(self); }

}  // namespace brindxml
