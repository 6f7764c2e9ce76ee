// Node.to_dict(): the dictionary form of a subtree, in two phases. The tree is
// first copied into ValueMaps holding owned strings, then those are turned
// into dicts, lists and strs and freed as they go. Both phases keep their own
// stacks, so a tree a million levels deep works.
#include <string>
#include <utility>
#include <vector>

#include "binding/entry.hpp"
#include "binding/once_cell.hpp"
#include "binding/py_ref.hpp"
#include "binding/safe_point.hpp"
#include "binding/value_conversion.hpp"
#include "entities/node_methods.hpp"
#include "entities/node_object.hpp"
#include "entities/node_walk.hpp"

namespace brindxml {

namespace {

using Variant = HashmapTypes::Variant;

// Fills `target` with the node's four entries; the "children" entry gets one
// empty map per child, for the walk to fill. Returns that array.
HashmapTypes::Vec& snapshot_fields(const NodeFields& fields, ValueMap& target) {
    target = ValueMap::with_new_keys(4);
    target.insert_new("name", HashmapTypes(Variant(std::in_place_type<std::string>, fields.name.bytes())));
    StringMap attrs = StringMap::with_new_keys(fields.attrs.size());
    fields.attrs.for_each([&](const NodeString& key, const NodeString& value) {
        attrs.insert_new(std::string(key.bytes()), std::string(value.bytes()));
    });
    target.insert_new("attrs", HashmapTypes(Variant(std::in_place_type<StringMap>, std::move(attrs))));
    target.insert_new("children", HashmapTypes(Variant(std::in_place_type<HashmapTypes::Vec>, fields.children.size())));
    std::optional<std::string> text;
    if (fields.text) text.emplace(fields.text->bytes());
    target.insert_new("text", HashmapTypes(Variant(std::in_place_type<std::optional<std::string>>, std::move(text))));
    // Four entries fit the reserved table, so the entries stay where they are.
    return *target.find("children")->vec_if();
}

// Phase 1. A node reachable by several paths is copied once per path.
struct CopyVisitor {
    struct Slot {
        ValueMap* target;                    // where this node's map goes
        HashmapTypes::Vec* children = nullptr;  // its "children" entry, once filled
    };
    bool enter(const NodeFields& fields, Slot& slot, uint64_t) {
        slot.children = &snapshot_fields(fields, *slot.target);
        return true;
    }
    Slot child(const NodeFields&, Slot& parent, size_t index) { return Slot{&(*parent.children)[index]}; }
    bool leave(const NodeFields&, Slot&, uint64_t) { return true; }
};

ValueMap snapshot_node(PyObject* root) {
    ValueMap result;
    CopyVisitor visitor;
    walk_nodes(root, CopyVisitor::Slot{&result}, visitor);
    return result;
}

// The interpreter could not create an object: a MemoryError stays one.
PyObject* creation_failed() { return interpreter_call_failed(); }

PyRef str_of(const std::string& bytes) {
    return PyRef::steal(PyUnicode_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

constexpr const char* kFormKeys[] = {"name", "attrs", "children", "text"};

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

PyRef key_of(const std::string& key, PyObject* interned) {
    for (Py_ssize_t i = 0; i < 4; ++i)
        if (key == kFormKeys[i]) return PyRef::borrow(PyTuple_GET_ITEM(interned, i));
    return str_of(key);
}

// A map whose dict is still to be made, and where that dict goes: into slot
// `index` of `list` (owned by the result built so far), or the result itself.
struct PendingMap {
    PyObject* list;
    Py_ssize_t index;
    ValueMap map;
};

enum class Outcome { Ok, CreationFailed, SetItemFailed };

// Attribute names repeat from element to element (every record of a data set
// has the same few), so one call makes each name's str once and shares it
// between the "attrs" dicts it builds: a str is immutable, and the result still
// holds no object of the tree. Direct-mapped on a cheap hash; short names only.
class AttrNameCache {
public:
    AttrNameCache() = default;
    AttrNameCache(const AttrNameCache&) = delete;
    AttrNameCache& operator=(const AttrNameCache&) = delete;

    PyRef get(const std::string& name) {
        if (name.size() > kMaxCachedLength) return str_of(name);
        uint64_t h = 1469598103934665603ULL;
        for (const char c : name) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        Slot& slot = slots_[h % kSlots];
        if (slot.str && slot.name == name) return PyRef::borrow(slot.str.get());
        PyRef made = str_of(name);
        if (made) {
            slot.name = name;
            slot.str = PyRef::borrow(made.get());
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

Outcome string_map_dict(StringMap& map, AttrNameCache& names, PyRef& out) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return Outcome::CreationFailed;
    Outcome outcome = Outcome::Ok;
    map.for_each([&](const std::string& key, const std::string& value) {
        if (outcome != Outcome::Ok) return;
        PyRef k = names.get(key);
        PyRef v = k ? str_of(value) : PyRef();
        if (!v) outcome = Outcome::CreationFailed;
        else if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) outcome = Outcome::SetItemFailed;
    });
    if (outcome == Outcome::Ok) out = std::move(dict);
    return outcome;
}

// One entry's value as a Python object. A Vec becomes a list whose items are
// left for the walk, queued on `pending`.
Outcome entry_object(HashmapTypes& value, std::vector<PendingMap>& pending, AttrNameCache& names, PyRef& out) {
    switch (value.tag()) {
        case HashmapTypes::Tag::String:
            out = str_of(std::get<std::string>(value.value));
            return out ? Outcome::Ok : Outcome::CreationFailed;
        case HashmapTypes::Tag::NullableString: {
            const auto& text = std::get<std::optional<std::string>>(value.value);
            out = text ? str_of(*text) : PyRef::borrow(Py_None);
            return out ? Outcome::Ok : Outcome::CreationFailed;
        }
        case HashmapTypes::Tag::Map: return string_map_dict(std::get<StringMap>(value.value), names, out);
        case HashmapTypes::Tag::Vec: {
            HashmapTypes::Vec& items = *value.vec_if();
            out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
            if (!out) return Outcome::CreationFailed;
            // Last item first, so the stack hands them out in order.
            for (size_t i = items.size(); i-- > 0;)
                pending.push_back(PendingMap{out.get(), static_cast<Py_ssize_t>(i), std::move(items[i])});
            items.clear();  // the husks left behind own nothing
            return Outcome::Ok;
        }
    }
    return Outcome::CreationFailed;
}

// Phase 2, consuming the maps. A list's empty slots are filled before any
// Python code can see the result; a failure drops the partial result, which
// the interpreter frees without recursing. The partial result is this call's
// own (a collector that meets a list with slots still empty skips them), so
// the loop may stop at a safe point between maps.
PyObject* materialise_value_map(ValueMap&& root) {
    PyObject* interned = form_keys();
    if (!interned) return creation_failed();
    PyRef result;
    AttrNameCache names;
    std::vector<PendingMap> pending;
    pending.push_back(PendingMap{nullptr, 0, std::move(root)});
    SafePoint safe_point;
    while (!pending.empty()) {
        safe_point.tick();
        PendingMap item = std::move(pending.back());
        pending.pop_back();
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return creation_failed();
        Outcome outcome = Outcome::Ok;
        item.map.for_each_mut([&](const std::string& key, HashmapTypes& value) {
            if (outcome != Outcome::Ok) return;
            PyRef k = key_of(key, interned);
            if (!k) {
                outcome = Outcome::CreationFailed;
                return;
            }
            PyRef v;
            outcome = entry_object(value, pending, names, v);
            if (outcome == Outcome::Ok && PyDict_SetItem(dict.get(), k.get(), v.get()) < 0)
                outcome = Outcome::SetItemFailed;
        });
        if (outcome == Outcome::CreationFailed) return creation_failed();
        if (outcome == Outcome::SetItemFailed) return nullptr;
        if (item.list)
            PyList_SET_ITEM(item.list, item.index, dict.release());
        else
            result = std::move(dict);
    }
    return result.release();
}

}  // namespace

PyObject* node_to_dict(PyObject* self, PyObject*) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        return materialise_value_map(snapshot_node(self));
    });
}

}  // namespace brindxml
