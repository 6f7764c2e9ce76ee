// Node.from_dict(dict_): a new tree built from a node in dictionary form, in
// one walk over the Python dicts and sequences.
//
// The walk does two jobs at once. It checks every value against the four
// variants of the dictionary form (String, Vec, NullableString, Map) in the
// order a conversion of the whole argument would, and it builds the nodes of
// the maps that describe nodes (the argument, and the items of a node's
// "children") as their dicts end, each after its children. A map anywhere
// else (an item of a sequence under another key) is only checked. A type
// error ends the walk at once; a shape error ("Invalid name", ...) is only
// recorded, so that a type error found later still wins, and among the shape
// errors the one the build order meets first is kept: a node's own checks
// before anything in its children, and its children in order.
//
// The walk keeps its own stack of the dicts and sequences it is inside
// instead of recursing: maps and sequences alternate on it, and a failure
// unwinds it level by level, adding the four-variant text (variant_error.hpp)
// at every sequence it leaves.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "binding/errors.hpp"
#include "binding/variant_error.hpp"
#include "entities/node_builder.hpp"
#include "entities/node_methods.hpp"
#include "entities/node_object.hpp"
#include "storage/string_blocks.hpp"

namespace brindxml {

namespace {

// The keys a node's map is read by; any other key is only checked.
enum class FormKey : uint8_t { Name, Attrs, Children, Text, Other };

FormKey form_key(std::string_view key) noexcept {
    switch (key.size()) {
        case 4:
            if (std::memcmp(key.data(), "name", 4) == 0) return FormKey::Name;
            if (std::memcmp(key.data(), "text", 4) == 0) return FormKey::Text;
            return FormKey::Other;
        case 5: return std::memcmp(key.data(), "attrs", 5) == 0 ? FormKey::Attrs : FormKey::Other;
        case 8: return std::memcmp(key.data(), "children", 8) == 0 ? FormKey::Children : FormKey::Other;
        default: return FormKey::Other;
    }
}

// Why a node could not be built: a shape check, or the interpreter failing
// to create its object (`raised`).
struct BuildError {
    enum class Kind : uint8_t { None, InvalidName, InvalidAttrs, InvalidChildren, Raised };
    Kind kind = Kind::None;
    PyRef raised;

    explicit operator bool() const noexcept { return kind != Kind::None; }
    void raise() {
        switch (kind) {
            case Kind::InvalidName: PyErr_SetString(PyExc_ValueError, "Invalid name"); return;
            case Kind::InvalidAttrs: PyErr_SetString(PyExc_ValueError, "Invalid attrs"); return;
            case Kind::InvalidChildren: PyErr_SetString(PyExc_ValueError, "Invalid children"); return;
            case Kind::Raised: PyErr_SetRaisedException(raised.release()); return;
            case Kind::None: return;
        }
    }
};

// A node whose map is being read: its entries as read so far. A key read
// again replaces what the earlier one gave (the last occurrence wins).
struct NodeState {
    NodeString name;
    OptionalNodeString text;
    AttrMap attrs;
    NodeChildren children;
    BuildError children_error;  // the first child that could not be built
    bool has_name = false;      // "name" holds a str
    bool has_attrs = false;     // "attrs" holds a dict of str to str
    bool has_children = false;  // "children" holds a sequence of dicts
};

// Reads a dict of str to str through `cursor`, calling on_entry(key, value)
// with the UTF-8 bytes of each entry. False with the error set: the first key
// or value that is not a str or cannot be encoded, or PanicException.
template <class OnEntry>
bool read_string_map(DictCursor& cursor, OnEntry&& on_entry) {
    PyRef key, value;
    for (;;) {
        const int status = cursor.next(key, value);
        if (status < 0) return false;
        if (status == 0) return true;
        auto key_bytes = str_bytes(key.get());
        if (!key_bytes) return false;
        auto value_bytes = str_bytes(value.get());
        if (!value_bytes) return false;
        on_entry(*key_bytes, *value_bytes);
    }
}

class DictFormBuilder {
public:
    // The root's node, or null with the exception set; `conversion_failed`
    // tells a failure of the value checks (the argument's fault) from a
    // shape error or a failed creation.
    PyRef build(PyObject* object, bool& conversion_failed) {
        conversion_failed = true;
        if (!PyDict_Check(object)) return raise_type_mismatch(object, "dict"), PyRef();
        push_map(object, true);
        if (!run()) return PyRef();
        conversion_failed = false;
        if (root_error_) return root_error_.raise(), PyRef();
        return std::move(root_);
    }

private:
    struct MapLevel {
        PyObject* dict;  // held by the cursor
        DictCursor cursor;
        FormKey key;   // the key whose value is the sequence above this level
        bool is_node;  // its state is nodes_.back() while it is the top node map
    };
    struct VecLevel {
        PyRef value;
        PyRef iterator;
        bool of_children;     // the "children" of a node: its items are nodes
        NodeChildren built;   // the nodes of the items so far
        BuildError error;     // the first item that gave no node; later ones are only checked
    };
    enum class Start { Done, Descended, Failed, Aborted };
    // The outcome of one step: go on, a failure recorded in failure_, or a
    // PanicException raised (which ends the walk as it is).
    enum class Step { Continue, Failed, Aborted };

    bool vec_on_top() const noexcept { return vecs_.size() == maps_.size(); }

    void push_map(PyObject* dict, bool is_node) {
        DictCursor cursor(dict);
        maps_.push_back(MapLevel{dict, std::move(cursor), FormKey::Other, is_node});
        if (is_node) nodes_.emplace_back();
    }

    // A dict that (through a sequence) holds itself would nest forever. The
    // path is searched for the top dict only at depths 1024, 2048, 4096, ...:
    // a cycle is caught once the depth passes a power of two beyond it, and
    // the searches cost O(1) per level overall.
    bool top_map_repeats() const noexcept {
        const size_t depth = maps_.size();
        if (depth < 1024 || (depth & (depth - 1)) != 0) return false;
        PyObject* top = maps_.back().dict;
        for (size_t i = 0; i + 1 < depth; ++i)
            if (maps_[i].dict == top) return true;
        return false;
    }

    // Records a value other than a str under `key` of `node` (none for a
    // map only checked): the shape it gives is the wrong one for every key,
    // and no text.
    static void set_not_str(NodeState* node, FormKey key) noexcept {
        if (!node) return;
        switch (key) {
            case FormKey::Name: node->has_name = false; break;
            case FormKey::Attrs: node->has_attrs = false; break;
            case FormKey::Children:
                node->has_children = false;
                node->children = NodeChildren();
                node->children_error = BuildError();
                break;
            case FormKey::Text: node->text.reset(); break;
            case FormKey::Other: break;
        }
    }

    void set_str(NodeState* node, FormKey key, std::string_view bytes) {
        if (!node) return;
        switch (key) {
            case FormKey::Name:
                node->name = strings_.copy(bytes);
                node->has_name = true;
                break;
            case FormKey::Text: node->text = strings_.copy(bytes); break;
            default: set_not_str(node, key); break;
        }
    }

    // The Map attempt on a dict value: a string map, made into the node's
    // attribute map under "attrs" of a node, otherwise only checked. False
    // with the error set.
    bool take_string_map(PyObject* value, NodeState* node, FormKey key) {
        DictCursor cursor(value);
        if (!node || key != FormKey::Attrs) {
            if (!read_string_map(cursor, [](std::string_view, std::string_view) {})) return false;
            set_not_str(node, key);
            return true;
        }
        AttrMap attrs = AttrMap::with_new_keys(static_cast<uint64_t>(cursor.length()));
        if (!read_string_map(cursor, [&](std::string_view k, std::string_view v) {
                attrs.insert_or_assign(strings_.copy(k), strings_.copy(v));
            }))
            return false;
        node->attrs = std::move(attrs);
        node->has_attrs = true;
        return true;
    }

    // Tries the variants on one value under `key` of the map on top (`node`
    // its state, null for a map only checked). Only the Vec attempt can run
    // Python code (the sequence's length and iterator) or nest, so the
    // others are decided here, in an order that gives the same result as
    // trying all four in tag order; their errors are made only if every
    // variant fails.
    Start start_value(PyObject* value, NodeState* node, FormKey key) {
        if (PyUnicode_Check(value)) {
            Py_ssize_t size = 0;
            if (const char* data = PyUnicode_AsUTF8AndSize(value, &size)) {
                set_str(node, key, std::string_view(data, static_cast<size_t>(size)));
                return Start::Done;
            }
            PyRef encoding_error = take_raised();
            PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
            failure_ = leaf_failure(take_raised());
            fail_all_variants(failure_, value, std::move(encoding_error), PyRef());
            return Start::Failed;
        }
        if (value == Py_None) {
            set_not_str(node, key);
            return Start::Done;
        }
        if (PySequence_Check(value)) {
            Py_ssize_t hint = 0;
            PyRef iterator = begin_sequence(value, hint);
            if (!iterator) return fail_vec_attempt(value, take_raised());
            const bool of_children = node && key == FormKey::Children;
            vecs_.push_back(VecLevel{PyRef::borrow(value), std::move(iterator), of_children, {}, {}});
            if (of_children) vecs_.back().built.reserve(sequence_reservation(hint));
            return Start::Descended;
        }
        PyRef map_error;
        if (PyDict_Check(value)) {
            if (take_string_map(value, node, key)) return Start::Done;
            map_error = take_raised();
            if (is_panic(map_error.get())) {
                PyErr_SetRaisedException(map_error.release());
                return Start::Aborted;
            }
        }
        failure_ = leaf_failure(type_mismatch(value, "Sequence"));
        fail_all_variants(failure_, value, PyRef(), std::move(map_error));
        return Start::Failed;
    }

    Start fail_vec_attempt(PyObject* value, PyRef error) {
        if (is_panic(error.get())) {
            PyErr_SetRaisedException(error.release());
            return Start::Aborted;
        }
        failure_ = leaf_failure(std::move(error));
        fail_all_variants(failure_, value, PyRef(), PyRef());
        return Start::Failed;
    }

    bool stack_empty() const noexcept { return maps_.empty() && vecs_.empty(); }

    // Steps until the root's map is done; false with the exception set.
    bool run() {
        while (!stack_empty()) {
            switch (vec_on_top() ? step_vec() : step_map()) {
                case Step::Continue: break;
                case Step::Failed: return unwind();
                case Step::Aborted: return false;
            }
        }
        return true;
    }

    // The node of the finished map on top of nodes_, or why there is none.
    // The checks run in the order name, attrs, children, then the children's
    // own failures, then the creation.
    static BuildError finish_node(NodeState& state, PyRef& node) {
        BuildError error;
        if (!state.has_name) error.kind = BuildError::Kind::InvalidName;
        else if (!state.has_attrs) error.kind = BuildError::Kind::InvalidAttrs;
        else if (!state.has_children) error.kind = BuildError::Kind::InvalidChildren;
        else if (state.children_error) return std::move(state.children_error);
        if (error) return error;
        NodeFields fields;
        fields.name = std::move(state.name);
        fields.text = std::move(state.text);
        fields.attrs = std::move(state.attrs);
        fields.children = state.children.take();
        node = PyRef::steal(new_node_object(std::move(fields)));
        if (!node) {
            error.kind = BuildError::Kind::Raised;
            error.raised = take_raised();
        }
        return error;
    }

    // A finished node map's outcome goes into the "children" sequence below
    // it, or is the result.
    void deliver_node(PyRef&& node, BuildError&& error) {
        if (vecs_.empty()) {
            root_ = std::move(node);
            root_error_ = std::move(error);
            return;
        }
        VecLevel& level = vecs_.back();
        if (level.error) return;
        if (error) {
            level.error = std::move(error);
            level.built = NodeChildren();  // they will never be a node's children
            return;
        }
        level.built.push_back(std::move(node));
    }

    // A finished sequence is the value of its key in the map below it.
    void deliver_vec(VecLevel&& level) {
        MapLevel& map = maps_.back();
        if (!map.is_node) return;
        NodeState& node = nodes_.back();
        if (!level.of_children) return set_not_str(&node, map.key);
        node.children = std::move(level.built);
        node.children_error = std::move(level.error);
        node.has_children = true;
    }

    // One item of the sequence on top.
    Step step_vec() {
        VecLevel& level = vecs_.back();
        PyObject* raw = nullptr;
        const int status = next_item(level.iterator.get(), &raw);
        if (status < 0) {
            PyRef error = take_raised();
            if (is_panic(error.get())) {
                PyErr_SetRaisedException(error.release());
                return Step::Aborted;
            }
            failure_ = leaf_failure(std::move(error));
            return Step::Failed;
        }
        if (status == 0) {
            VecLevel done = std::move(level);
            vecs_.pop_back();
            deliver_vec(std::move(done));
            return Step::Continue;
        }
        PyRef item = PyRef::steal(raw);
        if (!PyDict_Check(item.get())) {
            failure_ = leaf_failure(type_mismatch(item.get(), "dict"));
            return Step::Failed;
        }
        // After a child that gave no node, the later ones are only checked.
        push_map(item.get(), level.of_children && !level.error);
        if (top_map_repeats()) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded: a dict contains itself");
            failure_ = leaf_failure(take_raised());
            return Step::Failed;
        }
        return Step::Continue;
    }

    // One entry of the dict on top.
    Step step_map() {
        MapLevel& level = maps_.back();
        PyRef key, value;
        const int status = level.cursor.next(key, value);
        if (status < 0) return Step::Aborted;  // the dict changed: PanicException is set
        if (status == 0) {
            const bool is_node = level.is_node;
            maps_.pop_back();
            if (is_node) {
                PyRef node;
                BuildError error = finish_node(nodes_.back(), node);
                nodes_.pop_back();
                deliver_node(std::move(node), std::move(error));
            }
            return Step::Continue;
        }
        auto key_bytes = str_bytes(key.get());
        if (!key_bytes) {
            failure_ = leaf_failure(take_raised());
            return Step::Failed;
        }
        NodeState* node = level.is_node ? &nodes_.back() : nullptr;
        level.key = node ? form_key(*key_bytes) : FormKey::Other;
        switch (start_value(value.get(), node, level.key)) {
            case Start::Done:
            case Start::Descended: return Step::Continue;
            case Start::Failed: return Step::Failed;
            case Start::Aborted: return Step::Aborted;
        }
        return Step::Aborted;
    }

    // Leaves every level, top first: a failing map fails the sequence it is
    // an item of unchanged, and a failing sequence makes its value fail all
    // four variants, which fails the map holding that value.
    bool unwind() {
        while (!stack_empty()) {
            if (vec_on_top()) {
                VecLevel level = std::move(vecs_.back());
                vecs_.pop_back();
                fail_all_variants(failure_, level.value.get(), PyRef(), PyRef());
            } else {
                if (maps_.back().is_node) nodes_.pop_back();
                maps_.pop_back();
            }
        }
        return raise_failure(failure_);
    }

    StringBlocks strings_{512};  // the copies of every name, key, value and text (up to 512 bytes: packed)
    std::vector<MapLevel> maps_;
    std::vector<VecLevel> vecs_;
    std::vector<NodeState> nodes_;  // the states of the node maps in maps_, in order
    Failure failure_;
    PyRef root_;
    BuildError root_error_;
};

constexpr const char* kFromDictParameters[] = {"dict_"};
constexpr Signature kFromDictSignature = {"Node.from_dict()", kFromDictParameters, 1, 1};

}  // namespace

PyObject* node_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall(kFromDictSignature, args, nargs, kwnames, bound)) return nullptr;
        DictFormBuilder builder;
        bool conversion_failed = false;
        PyRef node = builder.build(bound[0], conversion_failed);
        if (node) return node.release();
        if (!conversion_failed) return nullptr;
        // A dict changed under the walk is an internal failure, not a fault
        // of the argument: it gets no note.
        PyObject* raised = PyErr_GetRaisedException();
        PyObject* panic = panic_exception_type();
        if (!panic) PyErr_Clear();
        const bool internal = panic && PyErr_GivenExceptionMatches(raised, panic);
        PyErr_SetRaisedException(raised);
        if (internal) return nullptr;
        return add_parameter_note("dict_"), nullptr;
    });
}

}  // namespace brindxml
