// Node.from_dict(dict_): a new tree built from a node in dictionary form. The
// whole argument is converted first, so every type check happens before any
// node exists; then the shape of each map is checked as its node is built.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/arg_binding.hpp"
#include "binding/entry.hpp"
#include "binding/errors.hpp"
#include "binding/value_conversion.hpp"
#include "entities/node_builder.hpp"
#include "entities/node_methods.hpp"
#include "entities/node_object.hpp"

namespace brindxml {

namespace {

// A node whose children are being built.
struct NodeUnderConstruction {
    ValueMap map;  // what is left of the node's map: "text" and any other keys
    NodeString name;
    StringMap attrs;
    HashmapTypes::Vec child_maps;
    size_t next_child = 0;
};

// Takes the entry `key` out of the map when it holds variant `T`.
template <class T>
std::optional<T> take_entry(ValueMap& map, const char* key) {
    HashmapTypes* entry = map.find(key);
    if (!entry) return std::nullopt;
    T* value = std::get_if<T>(&entry->value);
    if (!value) return std::nullopt;
    return std::move(*value);
}

// The checks that come before a node's children: "name", "attrs", "children",
// in that order. False with ValueError set.
bool begin_node(ValueMap&& map, NodeUnderConstruction& node) {
    auto name = take_entry<std::string>(map, "name");
    if (!name) return PyErr_SetString(PyExc_ValueError, "Invalid name"), false;
    auto attrs = take_entry<StringMap>(map, "attrs");
    if (!attrs) return PyErr_SetString(PyExc_ValueError, "Invalid attrs"), false;
    auto child_maps = take_entry<HashmapTypes::Vec>(map, "children");
    if (!child_maps) return PyErr_SetString(PyExc_ValueError, "Invalid children"), false;
    node.map = std::move(map);
    node.name = NodeString::owned_copy(*name);
    node.attrs = std::move(*attrs);
    node.child_maps = std::move(*child_maps);
    return true;
}

// What comes after the children: the text and the attribute map. The
// builder adds the children.
NodeFields finish_node(NodeUnderConstruction& node) {
    NodeFields fields;
    fields.name = std::move(node.name);
    if (HashmapTypes* text = node.map.find("text")) {
        if (auto* string = std::get_if<std::string>(&text->value))
            fields.text = NodeString::owned_copy(*string);
        else if (auto* nullable = std::get_if<std::optional<std::string>>(&text->value); nullable && *nullable)
            fields.text = NodeString::owned_copy(**nullable);
        // A Vec or a Map gives no text.
    }
    fields.attrs = AttrMap::with_new_keys(node.attrs.size());
    node.attrs.for_each([&](const std::string& key, const std::string& value) {
        fields.attrs.insert_new(NodeString::owned_copy(key), NodeString::owned_copy(value));
    });
    return fields;
}

// A node's children are built in order, each one completely, before the
// node's own text is looked at.
struct MapBuilder {
    using Pending = NodeUnderConstruction;
    bool begin(ValueMap&& map, Pending& node) { return begin_node(std::move(map), node); }
    size_t child_count(const Pending& node) noexcept { return node.child_maps.size(); }
    bool next_child(Pending& node, ValueMap& child) {
        if (node.next_child == node.child_maps.size()) return false;
        child = std::move(node.child_maps[node.next_child++]);
        return true;
    }
    NodeFields finish(Pending& node, NodeChildren& children) {
        NodeFields fields = finish_node(node);
        fields.children = children.take();
        return fields;
    }
};

constexpr const char* kFromDictParameters[] = {"dict_"};
constexpr Signature kFromDictSignature = {"Node.from_dict()", kFromDictParameters, 1, 1};

}  // namespace

PyObject* node_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall(kFromDictSignature, args, nargs, kwnames, bound)) return nullptr;
        ValueMap map;
        if (!convert_value_map(bound[0], map)) {
            // A dict changed under the conversion is an internal failure, not
            // a fault of the argument: it gets no note.
            PyObject* raised = PyErr_GetRaisedException();
            PyObject* panic = panic_exception_type();
            if (!panic) PyErr_Clear();
            const bool internal = panic && PyErr_GivenExceptionMatches(raised, panic);
            PyErr_SetRaisedException(raised);
            if (internal) return nullptr;
            return add_parameter_note("dict_"), nullptr;
        }
        MapBuilder builder;
        return build_nodes_bottom_up(std::move(map), builder).release();
    });
}

}  // namespace brindxml
