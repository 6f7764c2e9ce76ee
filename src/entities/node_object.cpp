#include "entities/node_object.hpp"

#include <new>
#include <utility>

#include "binding/entry.hpp"
#include "binding/once_cell.hpp"
#include "entities/node_type_members.hpp"
#include "storage/view_batches.hpp"

namespace brindxml {

namespace {

// Children whose last reference is dropped while another node is being freed
// on this thread are queued here instead of being freed recursively, so
// dropping a chain a million levels deep uses constant native stack. The
// view references of the whole cascade go back in one batch.
// Both are read on every deallocation: initial-exec, like the attachment depth.
[[gnu::tls_model("initial-exec")]] thread_local std::vector<PyObject*>* pending_releases = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local ViewReleaseBatch* cascade_views = nullptr;

void node_dealloc(PyObject* self) {
    EntryGuard guard;
    ViewReleaseBatch own_views;
    ViewReleaseBatch& views = cascade_views ? *cascade_views : own_views;
    NodeObject* node = as_node(self);
    std::vector<PyObject*> children = std::move(node->fields.children);
    views.drop(node->fields.name);
    views.drop(node->fields.text);
    views.drop(node->fields.attrs);
    node->fields.~NodeFields();
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);

    if (children.empty()) return;
    if (pending_releases) {
        try {
            pending_releases->insert(pending_releases->end(), children.begin(), children.end());
            return;
        } catch (...) {
            // No memory to queue them: fall through and release them here.
        }
    }
    std::vector<PyObject*> work = std::move(children);
    std::vector<PyObject*>* outer = pending_releases;
    ViewReleaseBatch* outer_views = cascade_views;
    pending_releases = &work;
    cascade_views = &views;
    while (!work.empty()) {
        PyObject* child = work.back();
        work.pop_back();
        Py_DECREF(child);
    }
    pending_releases = outer;
    cascade_views = outer_views;
}

PyTypeObject* create_node_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Node(name, attrs=None, children=None, text=None)\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(&node_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&node_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(&node_repr)},
        {Py_tp_str, reinterpret_cast<void*>(&node_str)},
        {Py_tp_getset, node_getset()},
        {Py_tp_methods, node_methods()},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "brindxml.Node",
        static_cast<int>(sizeof(NodeObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    // The type's name carries no module ("Node" in the interpreter's messages),
    // while __module__ is "brindxml" so that importing emits no warning.
    if (type) type->tp_name = "Node";
    return type;
}

}  // namespace

PyTypeObject* node_type() noexcept {
    static OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(
        cell.get_or_init([] { return reinterpret_cast<PyObject*>(create_node_type()); }));
}

void release_children(std::vector<PyObject*>& children) noexcept {
    for (PyObject* child : children) Py_DECREF(child);
    children.clear();
}

PyObject* new_node_object(NodeFields&& fields) noexcept {
    PyTypeObject* type = node_type();
    PyObject* object = type ? type->tp_alloc(type, 0) : nullptr;
    if (!object) {
        release_children(fields.children);
        NodeFields dropped = std::move(fields);
        return nullptr;
    }
    NodeObject* node = as_node(object);
    new (&node->fields) NodeFields(std::move(fields));
    return object;
}

}  // namespace brindxml
