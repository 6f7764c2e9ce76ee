#include "entities/node_object.hpp"

#include <atomic>
#include <new>
#include <optional>
#include <utility>

#include "binding/entry.hpp"
#include "binding/once_cell.hpp"
#include "entities/node_type_members.hpp"
#include "platform/compiler.hpp"
#include "storage/view_batches.hpp"

namespace brindxml {

namespace {

// Children whose last reference is dropped while another node is being freed
// on this thread are queued on the cascade's work list instead of being freed
// recursively, so dropping a chain a million levels deep uses constant native
// stack. The view references of the whole cascade go back in batches, and
// the attribute tables are kept for the end of the cascade (free_tables).
//
// A node whose children find no room on the work list (no memory to grow it)
// is parked: its own memory, freed later, holds them and links it into the
// cascade's list of parked nodes. Teardown thus never needs an allocation to
// succeed, and stays free of recursion.
struct ParkedNode {
    PyObject* object;  // the node whose memory this is
    ParkedNode* next;
    ChildArray children;
};
static_assert(sizeof(ParkedNode) <= sizeof(NodeFields) && alignof(ParkedNode) <= alignof(NodeFields));

struct Cascade {
    ViewReleaseBatch views;
    std::vector<AttrMap> tables;
    ParkedNode* parked = nullptr;
};

// Both are read on every deallocation: initial-exec, like the attachment depth.
BRINDXML_FAST_TLS thread_local std::vector<PyObject*>* pending_releases = nullptr;
BRINDXML_FAST_TLS thread_local Cascade* current_cascade = nullptr;

// From this many tables on, a cascade frees them with the thread state released.
constexpr size_t kReleasedTeardown = 4096;

// Walking the attribute tables (every entry is read to return its view's
// reference) and freeing them is most of the cost of dropping a parsed tree,
// and needs no Python object. A large cascade does it with the thread state
// released, so other threads run meanwhile; the view references are only
// counted then, and returned once the thread state is back, so that a
// document's str is released at once when its last view goes.
void free_tables(Cascade& cascade) {
    std::vector<AttrMap>& tables = cascade.tables;
    if (tables.size() < kReleasedTeardown) {
        for (AttrMap& table : tables) cascade.views.drop(table);
        std::vector<AttrMap>().swap(tables);
        return;
    }
    ViewReferenceTally references;
    run_released([&] {
        constexpr size_t kAhead = 6;
        for (size_t i = 0; i < tables.size(); ++i) {
            if (i + kAhead < tables.size()) tables[i + kAhead].prefetch_table();
            references.drop(tables[i]);
            tables[i] = AttrMap();
        }
        std::vector<AttrMap>().swap(tables);
    });
    references.return_all();
}

// Frees the memory of a node whose fields are gone. Every node comes from
// new_node_object (the type cannot be subclassed), whose tp_alloc takes it
// from PyObject_Malloc.
void free_node_memory(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

void park(Cascade& cascade, PyObject* self, ChildArray&& children) noexcept {
    auto* parked = new (&as_node(self)->fields) ParkedNode{self, cascade.parked, std::move(children)};
    cascade.parked = parked;
}

// Takes the children of the next parked node into `work` (empty) and frees
// the node's memory; false when none is parked.
bool unpark(Cascade& cascade, ChildArray& work) noexcept {
    ParkedNode* parked = cascade.parked;
    if (!parked) return false;
    cascade.parked = parked->next;
    work.swap(parked->children);
    PyObject* self = parked->object;
    parked->~ParkedNode();
    free_node_memory(self);
    return true;
}

void node_dealloc(PyObject* self) {
    Cascade* const outer = current_cascade;
    // Inside a cascade, its first node's guard is still in place.
    std::optional<EntryGuard> guard;
    if (!outer) guard.emplace();
    Cascade own;
    Cascade& cascade = outer ? *outer : own;
    NodeObject* node = as_node(self);
    ChildArray children = std::move(node->fields.children);
    cascade.views.drop(node->fields.name);
    cascade.views.drop(node->fields.text);
    bool kept = false;
    if (outer && node->fields.attrs.capacity() != 0) {
        try {
            outer->tables.push_back(std::move(node->fields.attrs));
            kept = true;
        } catch (...) {
            // No memory to keep it: free it here.
        }
    }
    if (!kept) cascade.views.drop(node->fields.attrs);
    node->fields.~NodeFields();

    if (!children.empty() && pending_releases) {
        try {
            pending_releases->insert(pending_releases->end(), children.begin(), children.end());
        } catch (...) {
            park(cascade, self, std::move(children));
            return;
        }
        children.clear();
    }
    free_node_memory(self);
    if (children.empty()) return;

    // The first node of a cascade: release its children and the work list
    // they fill, parked nodes included. Nothing here needs memory.
    std::vector<PyObject*> work;
    pending_releases = &work;
    current_cascade = &cascade;
    do {
        while (!work.empty() || !children.empty()) {
            PyObject* child;
            if (!work.empty()) {
                child = work.back();
                work.pop_back();
            } else {
                child = children.pop_back();
            }
            Py_DECREF(child);
        }
    } while (unpark(cascade, children));
    pending_releases = nullptr;
    current_cascade = nullptr;
    free_tables(cascade);
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
    if (type) drop_module_from_type_name(type, "Node");
    return type;
}

}  // namespace

void drop_module_from_type_name(PyTypeObject* type, const char* name) noexcept {
    // A spec's name gives both the type's name and its __module__, and no
    // public call sets them apart; a name without a dot would leave the type
    // without __module__ (and warn). So the name is replaced here, before the
    // type is handed out. The store is atomic: the interpreter's registry of
    // subclasses already lists the type, and a reader there sees either
    // name, never a torn pointer.
#if defined(__cpp_lib_atomic_ref)
    std::atomic_ref<const char*>(type->tp_name).store(name, std::memory_order_release);
#else  // libc++ before 19 has no std::atomic_ref; the same store through the compiler builtin
    __atomic_store_n(&type->tp_name, name, __ATOMIC_RELEASE);
#endif
}

PyTypeObject* node_type() noexcept {
    static OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(
        cell.get_or_init([] { return reinterpret_cast<PyObject*>(create_node_type()); }));
}

void release_children(ChildArray& children) noexcept {
    for (PyObject* child : children) Py_DECREF(child);
    children.clear();
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
