// The read-only properties of Node: name, text, attrs, children.
#include "binding/entry.hpp"
#include "binding/py_ref.hpp"
#include "entities/name_table.hpp"
#include "entities/node_object.hpp"
#include "entities/node_type_members.hpp"
#include "entities/str_from_utf8.hpp"

namespace brindxml {

namespace {

PyObject* get_name(PyObject* self, void*) {
    EntryGuard guard;
    return name_str(fields_of(self).name);
}

PyObject* get_text(PyObject* self, void*) {
    EntryGuard guard;
    const OptionalNodeString& text = fields_of(self).text;
    if (!text) Py_RETURN_NONE;
    return to_py_str(*text);
}

PyObject* get_attrs(PyObject* self, void*) {
    EntryGuard guard;
    const AttrMap& attrs = fields_of(self).attrs;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    bool failed = false;
    attrs.for_each([&](const NodeString& key, const NodeString& value) {
        if (failed) return;
        PyRef k = PyRef::steal(name_str(key));
        PyRef v = k ? PyRef::steal(to_py_str(value)) : PyRef();
        if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) failed = true;
    });
    return failed ? nullptr : dict.release();
}

PyObject* get_children(PyObject* self, void*) {
    EntryGuard guard;
    const ChildArray& children = fields_of(self).children;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(children.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < children.size(); ++i) {
        Py_INCREF(children[i]);
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), children[i]);
    }
    return list;
}

PyGetSetDef getset[] = {
    {"name", &get_name, nullptr, nullptr, nullptr},
    {"text", &get_text, nullptr, nullptr, nullptr},
    {"attrs", &get_attrs, nullptr, nullptr, nullptr},
    {"children", &get_children, nullptr, "Children are shared references to the same nodes, not copies.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyGetSetDef* node_getset() { return getset; }

}  // namespace brindxml
