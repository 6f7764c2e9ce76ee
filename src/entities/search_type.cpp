#include "entities/search_type.hpp"

#include "binding/entry.hpp"
#include "binding/once_cell.hpp"
#include "binding/py_ref.hpp"
#include "entities/node_object.hpp"

namespace brindxml {

namespace {

constexpr const char* kMemberNames[] = {"Tag", "Attr", "Text"};
constexpr const char* kReprs[] = {"SearchType.Tag", "SearchType.Attr", "SearchType.Text"};

uint8_t value_of(PyObject* self) { return reinterpret_cast<SearchTypeObject*>(self)->value; }

PyObject* search_type_repr(PyObject* self) {
    EntryGuard guard;
    return PyUnicode_FromString(kReprs[value_of(self)]);
}

PyObject* search_type_int(PyObject* self) {
    EntryGuard guard;
    return PyLong_FromLong(value_of(self));
}

PyObject* search_type_richcompare(PyObject* self, PyObject* other, int op) {
    EntryGuard guard;
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    long long other_value;
    if (Py_TYPE(other) == Py_TYPE(self)) {
        other_value = value_of(other);
    } else {
        other_value = PyLong_AsLongLong(other);
        if (other_value == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    const bool equal = other_value == static_cast<long long>(value_of(self));
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject* create_search_type() {
    static PyType_Slot slots[] = {
        {Py_tp_repr, reinterpret_cast<void*>(&search_type_repr)},
        {Py_nb_int, reinterpret_cast<void*>(&search_type_int)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&search_type_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "brindxml.SearchType",
        static_cast<int>(sizeof(SearchTypeObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    PyRef type = PyRef::steal(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    // The type is immutable from the start, so its members (instances of the
    // type itself, hence made after it) go straight into its namespace, before
    // the type is handed to anyone; PyType_Modified drops any lookup the
    // interpreter may have cached meanwhile.
    PyRef namespace_dict = PyRef::steal(PyType_GetDict(type_object));
    if (!namespace_dict) return nullptr;
    for (uint8_t value = 0; value < 3; ++value) {
        PyRef member = PyRef::steal(PyType_GenericAlloc(type_object, 0));
        if (!member) return nullptr;
        reinterpret_cast<SearchTypeObject*>(member.get())->value = value;
        if (PyDict_SetItemString(namespace_dict.get(), kMemberNames[value], member.get()) < 0) return nullptr;
    }
    PyType_Modified(type_object);
    drop_module_from_type_name(type_object, "SearchType");
    return type.release();
}

}  // namespace

PyTypeObject* search_type_type() noexcept {
    static OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(cell.get_or_init([] { return create_search_type(); }));
}

}  // namespace brindxml
