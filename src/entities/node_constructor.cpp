// Node(name, attrs=None, children=None, text=None)
#include <utility>

#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "entities/node_object.hpp"
#include "entities/node_type_members.hpp"

namespace brindxml {

namespace {

constexpr const char* kParameters[] = {"name", "attrs", "children", "text"};
constexpr Signature kSignature = {"Node.__new__()", kParameters, 4, 1};

bool convert_node_string(PyObject* object, NodeString& out) {
    auto bytes = str_bytes(object);
    if (!bytes) return false;
    out = NodeString::owned_copy(*bytes);
    return true;
}

// The attributes go straight into the node's map: the same checks and order as
// converting to a string map first, without copying every entry twice.
bool convert_attrs(PyObject* object, AttrMap& out) {
    if (!PyDict_Check(object)) return raise_type_mismatch(object, "dict");
    DictCursor cursor(object);
    AttrMap attrs = AttrMap::with_new_keys(static_cast<uint64_t>(cursor.length()));
    PyRef key, value;
    for (;;) {
        const int status = cursor.next(key, value);
        if (status < 0) return false;
        if (status == 0) break;
        NodeString converted_key, converted_value;
        if (!convert_node_string(key.get(), converted_key) || !convert_node_string(value.get(), converted_value))
            return false;
        attrs.insert_or_assign(std::move(converted_key), std::move(converted_value));
    }
    out = std::move(attrs);
    return true;
}

// Children as new strong references; on failure none is kept.
bool convert_children(PyObject* object, std::vector<PyRef>& out) {
    return convert_sequence(object, out, [](PyObject* item, PyRef& slot) {
        if (!is_node(item)) return raise_type_mismatch(item, "Node");
        slot = PyRef::borrow(item);
        return true;
    });
}

PyObject* construct(PyObject* args, PyObject* kwargs) {
    PyObject* bound[4];
    PyRef keywords[kMaxParameters];  // the values bound from `kwargs`, held for the call
    if (!bind_tuple(kSignature, args, kwargs, bound, keywords)) return nullptr;
    NodeFields fields;
    if (!convert_node_string(bound[0], fields.name)) return add_parameter_note("name"), nullptr;
    if (!is_absent(bound[1]) && !convert_attrs(bound[1], fields.attrs))
        return add_parameter_note("attrs"), nullptr;
    // Owned by handles until the node takes them: converting the text can
    // throw, and must not leak them.
    std::vector<PyRef> children;
    if (!is_absent(bound[2]) && !convert_children(bound[2], children))
        return add_parameter_note("children"), nullptr;
    if (!is_absent(bound[3])) {
        NodeString text;
        if (!convert_node_string(bound[3], text)) return add_parameter_note("text"), nullptr;
        fields.text = std::move(text);
    }
    fields.children.reserve(children.size());
    for (PyRef& child : children) fields.children.push_back(child.release());
    return new_node_object(std::move(fields));
}

}  // namespace

PyObject* node_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    EntryGuard guard;
    return guarded([&] { return construct(args, kwargs); });
}

}  // namespace brindxml
