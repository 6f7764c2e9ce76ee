// Node.to_dict(): the dictionary form of a subtree, built in one walk over
// the tree straight into dicts, lists and strs. The walk keeps its own stack,
// so a tree a million levels deep works.
//
// The walk reads the nodes' fields while it builds: nodes never change after
// construction, and the caller holds the root, which holds every node below
// it, so no borrowed field goes away under the walk.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/entry.hpp"
#include "binding/once_cell.hpp"
#include "binding/py_ref.hpp"
#include "binding/safe_point.hpp"
#include "entities/name_table.hpp"
#include "entities/node_methods.hpp"
#include "entities/node_object.hpp"
#include "entities/str_from_utf8.hpp"

namespace brindxml {

namespace {

// The interpreter could not create an object: a MemoryError stays one.
PyObject* creation_failed() { return interpreter_call_failed(); }

constexpr const char* kFormKeys[] = {"name", "attrs", "children", "text"};
enum FormKey : Py_ssize_t { kName = 0, kAttrs = 1, kChildren = 2, kText = 3 };

// The four keys of the dictionary form as interned strs, made once: every
// node's dict then reuses them and their cached hashes.
PyObject* form_keys() noexcept {
    static OnceCell cell;
    return cell.get_or_init([]() -> PyObject* {
        PyRef keys = PyRef::steal(PyTuple_New(4));
        if (!keys) return nullptr;
        for (Py_ssize_t i = 0; i < 4; ++i) {
            PyObject* key = PyUnicode_InternFromString(kFormKeys[i]);
            if (!key) return nullptr;
            PyTuple_SET_ITEM(keys.get(), i, key);
        }
        return keys.release();
    });
}

enum class Outcome { Ok, CreationFailed, SetItemFailed };

// Element and attribute names repeat from element to element (every record
// of a data set has the same few), so one call makes each name's str once and
// shares it between the dicts it builds: a str is immutable, and the result
// still holds no object of the tree. Direct-mapped on a cheap hash; short
// names only. The cache belongs to one call on one thread.
class NameCache {
public:
    NameCache() = default;
    NameCache(const NameCache&) = delete;
    NameCache& operator=(const NameCache&) = delete;

    // A new reference to a str holding `name`, or null with an error set.
    // A name of a parsed document is its document's str (see NameTable).
    PyObject* get(const NodeString& node_name) {
        if (node_name.is_view()) return name_str(node_name);
        const std::string_view name = node_name.bytes();
        if (name.size() > kMaxCachedLength) return str_from_utf8(name);
        uint64_t h = 1469598103934665603ULL;
        for (const char c : name) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        Slot& slot = slots_[h % kSlots];
        if (slot.str && slot.name == name) {
            Py_INCREF(slot.str.get());
            return slot.str.get();
        }
        PyObject* made = str_from_utf8(name);
        if (made) {
            slot.name.assign(name);
            slot.str = PyRef::borrow(made);
        }
        return made;
    }

private:
    static constexpr size_t kSlots = 64;
    static constexpr size_t kMaxCachedLength = 48;
    struct Slot {
        std::string name;
        PyRef str;
    };
    Slot slots_[kSlots];
};

// Stores `value` (a new reference, possibly null) under form key `key`.
Outcome set_entry(PyObject* dict, PyObject* keys, FormKey key, PyObject* value) {
    if (!value) return Outcome::CreationFailed;
    const int status = PyDict_SetItem(dict, PyTuple_GET_ITEM(keys, key), value);
    Py_DECREF(value);
    return status < 0 ? Outcome::SetItemFailed : Outcome::Ok;
}

Outcome attrs_dict(const AttrMap& attrs, NameCache& names, PyObject*& out) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return Outcome::CreationFailed;
    Outcome outcome = Outcome::Ok;
    attrs.for_each([&](const NodeString& key, const NodeString& value) {
        if (outcome != Outcome::Ok) return;
        PyRef k = PyRef::steal(names.get(key));
        PyRef v = k ? PyRef::steal(to_py_str(value)) : PyRef();
        if (!v) outcome = Outcome::CreationFailed;
        else if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) outcome = Outcome::SetItemFailed;
    });
    if (outcome == Outcome::Ok) out = dict.release();
    return outcome;
}

// One node's dict, its "children" list left with empty slots for the walk to
// fill (`children`, borrowed from the dict).
Outcome node_dict(const NodeFields& fields, PyObject* keys, NameCache& names, PyRef& out, PyObject*& children) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return Outcome::CreationFailed;
    Outcome outcome = set_entry(dict.get(), keys, kName, names.get(fields.name));
    if (outcome != Outcome::Ok) return outcome;
    PyObject* attrs = nullptr;
    outcome = attrs_dict(fields.attrs, names, attrs);
    if (outcome != Outcome::Ok) return outcome;
    outcome = set_entry(dict.get(), keys, kAttrs, attrs);
    if (outcome != Outcome::Ok) return outcome;
    children = PyList_New(static_cast<Py_ssize_t>(fields.children.size()));
    outcome = set_entry(dict.get(), keys, kChildren, children);
    if (outcome != Outcome::Ok) return outcome;
    PyObject* text = fields.text ? to_py_str(*fields.text) : Py_NewRef(Py_None);
    outcome = set_entry(dict.get(), keys, kText, text);
    if (outcome == Outcome::Ok) out = std::move(dict);
    return outcome;
}

// A node whose children's dicts are being made, and the list they go into
// (owned by the result built so far).
struct Frame {
    const NodeFields* fields;
    size_t next_child;
    PyObject* list;
};

// A list's empty slots are filled before any Python code can see the result;
// a failure drops the partial result, which the interpreter frees without
// recursing (a list's empty slots are skipped). The partial result is this
// call's own, so the walk may stop at a safe point between nodes.
PyObject* build_dict_tree(PyObject* root) {
    PyObject* keys = form_keys();
    if (!keys) return creation_failed();
    NameCache names;
    PyRef result;
    PyObject* list = nullptr;
    const NodeFields& root_fields = fields_of(root);
    Outcome outcome = node_dict(root_fields, keys, names, result, list);
    if (outcome == Outcome::CreationFailed) return creation_failed();
    if (outcome == Outcome::SetItemFailed) return nullptr;
    std::vector<Frame> path;
    if (!root_fields.children.empty()) path.push_back(Frame{&root_fields, 0, list});
    SafePoint safe_point;
    while (!path.empty()) {
        Frame& top = path.back();
        const ChildArray& children = top.fields->children;
        if (top.next_child == children.size()) {
            path.pop_back();
            continue;
        }
        const size_t index = top.next_child++;
        PyObject* parent_list = top.list;
        safe_point.tick();
        const NodeFields& child = fields_of(children[index]);
        PyRef dict;
        outcome = node_dict(child, keys, names, dict, list);
        if (outcome == Outcome::CreationFailed) return creation_failed();
        if (outcome == Outcome::SetItemFailed) return nullptr;
        PyList_SET_ITEM(parent_list, static_cast<Py_ssize_t>(index), dict.release());
        if (!child.children.empty()) path.push_back(Frame{&child, 0, list});
    }
    return result.release();
}

}  // namespace

PyObject* node_to_dict(PyObject* self, PyObject*) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* { return build_dict_tree(self); });
}

}  // namespace brindxml
