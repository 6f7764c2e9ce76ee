// Copying and pickling nodes.
//
// A node never changes, so copy.copy and copy.deepcopy return the node itself.
//
// Node.__reduce__ gives (brindxml._node_from_table, (strings, table)), a flat
// form that pickles and loads without recursion however deep the tree is:
// - strings: a tuple of the distinct strings of the tree (names, attribute
//   names and values, texts), each once;
// - table: bytes, the distinct nodes of the tree in post-order, each written as
//   unsigned LEB128 numbers in the order the dictionary import checks them:
//     name        index into strings
//     attr count  then that many (name index, value index) pairs
//     child count then that many back references: 1 is the node written just
//                 before this one, 2 the one before that, and so on
//     text        0 for no text, else 1 + index into strings
//   The last node is the root. A node that occurs several times in the tree
//   is written once and referred to by each parent, so it loads as one object.
// The reconstructor's name stands for this layout: a different layout would
// get a reconstructor of its own, and old pickles would still load.
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "binding/errors.hpp"
#include "binding/once_cell.hpp"
#include "binding/py_ref.hpp"
#include "entities/node_object.hpp"
#include "entities/node_pickle.hpp"
#include "entities/str_from_utf8.hpp"

namespace brindxml {

namespace {

// A key of the string table: the bytes of a node string, which the tree keeps
// alive while it is being written.
struct Bytes {
    std::string_view text;
};
[[maybe_unused]] inline std::string_view bytes_of(const Bytes& b) noexcept { return b.text; }

void put_number(std::string& out, uint64_t value) {
    char buffer[10];
    size_t n = 0;
    while (value >= 0x80) {
        buffer[n++] = static_cast<char>((value & 0x7f) | 0x80);
        value >>= 7;
    }
    buffer[n++] = static_cast<char>(value);
    out.append(buffer, n);
}

class TableWriter {
public:
    TableWriter() : strings_(KeyedMap<Bytes, uint64_t>::with_new_keys(64)) {}

    void string(std::string_view bytes) { put_number(table_, index_of(bytes)); }

    // Writes `root` and every node below it.
    void tree(PyObject* root) {
        struct Visit {
            PyObject* node;
            size_t next_child;
        };
        std::vector<Visit> path;
        std::vector<uint64_t> done;  // indices of finished children, per open node
        path.push_back(Visit{root, 0});
        while (!path.empty()) {
            Visit& top = path.back();
            const std::vector<PyObject*>& children = fields_of(top.node).children;
            if (top.next_child < children.size()) {
                PyObject* child = children[top.next_child++];
                // A node held only by its parent cannot occur twice in the tree.
                if (Py_REFCNT(child) > 1) {
                    auto seen = written_.find(child);
                    if (seen != written_.end()) {
                        done.push_back(seen->second);
                        continue;
                    }
                }
                path.push_back(Visit{child, 0});
                continue;
            }
            PyObject* node = top.node;
            path.pop_back();
            const uint64_t index = write_node(node, done);
            if (Py_REFCNT(node) > 1) written_.emplace(node, index);
            done.push_back(index);
        }
    }

    std::string& table() noexcept { return table_; }
    const std::vector<std::string_view>& strings() const noexcept { return order_; }

private:
    uint64_t index_of(std::string_view bytes) {
        if (const uint64_t* index = strings_.find(bytes)) return *index;
        const uint64_t index = order_.size();
        order_.push_back(bytes);
        strings_.insert_new(Bytes{bytes}, index);
        return index;
    }

    // Writes one node whose children's indices are the last entries of `done`.
    uint64_t write_node(PyObject* node, std::vector<uint64_t>& done) {
        const NodeFields& fields = fields_of(node);
        const uint64_t index = count_++;
        string(fields.name.bytes());
        put_number(table_, fields.attrs.size());
        fields.attrs.for_each([&](const NodeString& key, const NodeString& value) {
            string(key.bytes());
            string(value.bytes());
        });
        const size_t child_count = fields.children.size();
        put_number(table_, child_count);
        for (size_t i = done.size() - child_count; i < done.size(); ++i) put_number(table_, index - done[i]);
        done.resize(done.size() - child_count);
        put_number(table_, fields.text ? index_of(fields.text->bytes()) + 1 : 0);
        return index;
    }

    KeyedMap<Bytes, uint64_t> strings_;
    std::vector<std::string_view> order_;
    std::unordered_map<PyObject*, uint64_t> written_;
    std::string table_;
    uint64_t count_ = 0;
};

// The module attribute that loads the form (a new reference, or null). It is
// looked up each time, as pickle finds it, since the module object can be
// replaced. The names are interned once: attribute lookups cache the name
// objects they see, and a new str per call would fill those caches.
PyObject* table_loader() noexcept {
    static OnceCell module_name, loader_name;
    PyObject* module_key = module_name.get_or_init([] { return PyUnicode_InternFromString("brindxml"); });
    PyObject* loader_key = loader_name.get_or_init([] { return PyUnicode_InternFromString(kTableLoaderName); });
    if (!module_key || !loader_key) return nullptr;
    PyRef module = PyRef::steal(PyImport_GetModule(module_key));
    if (!module && !PyErr_Occurred()) module = PyRef::steal(PyImport_Import(module_key));
    return module ? PyObject_GetAttr(module.get(), loader_key) : nullptr;
}

class TableReader {
public:
    TableReader(std::string_view table, std::vector<std::string_view> strings, HashKeys keys) noexcept
        : at_(table.data()), end_(table.data() + table.size()), strings_(std::move(strings)), keys_(keys) {}
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;
    ~TableReader() { release_children(nodes_); }

    // The root, or null with ValueError set.
    PyObject* read() {
        while (at_ != end_) {
            NodeFields fields;
            if (!read_fields(fields)) return nullptr;
            PyObject* node = new_node_object(std::move(fields));
            if (!node) return nullptr;
            try {
                nodes_.push_back(node);
            } catch (...) {
                Py_DECREF(node);
                throw;
            }
        }
        if (nodes_.empty()) return fail("Invalid name");
        PyObject* root = nodes_.back();
        nodes_.pop_back();
        return root;
    }

private:
    static PyObject* fail(const char* message) noexcept {
        PyErr_SetString(PyExc_ValueError, message);
        return nullptr;
    }

    bool number(uint64_t& value) noexcept {
        value = 0;
        for (unsigned shift = 0; at_ != end_ && shift < 64; shift += 7) {
            const auto byte = static_cast<uint8_t>(*at_++);
            if (shift == 63 && byte > 1) return false;
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return true;
        }
        return false;
    }
    uint64_t left() const noexcept { return static_cast<uint64_t>(end_ - at_); }

    bool string(NodeString& out) {
        uint64_t index;
        if (!number(index) || index >= strings_.size()) return false;
        out = NodeString::owned_copy(strings_[index]);
        return true;
    }

    bool read_fields(NodeFields& fields) {
        if (!string(fields.name)) return fail("Invalid name"), false;
        uint64_t count;
        // Every entry takes at least one byte: a count beyond what is left is false.
        if (!number(count) || count > left() / 2) return fail("Invalid attrs"), false;
        fields.attrs = AttrMap(keys_);
        fields.attrs.reserve(count);
        for (uint64_t i = 0; i < count; ++i) {
            NodeString key, value;
            if (!string(key) || !string(value)) return fail("Invalid attrs"), false;
            fields.attrs.insert_or_assign(std::move(key), std::move(value));
        }
        if (!number(count) || count > left()) return fail("Invalid children"), false;
        fields.children.reserve(count);
        for (uint64_t i = 0; i < count; ++i) {
            uint64_t back;
            if (!number(back) || back == 0 || back > nodes_.size()) {
                release_children(fields.children);
                return fail("Invalid children"), false;
            }
            PyObject* child = nodes_[nodes_.size() - back];
            fields.children.push_back(Py_NewRef(child));
        }
        uint64_t text;
        if (!number(text) || text > strings_.size()) {
            release_children(fields.children);
            return fail("Invalid text"), false;
        }
        try {
            if (text) fields.text = NodeString::owned_copy(strings_[text - 1]);
        } catch (...) {
            release_children(fields.children);
            throw;
        }
        return true;
    }

    const char* at_;
    const char* end_;
    std::vector<std::string_view> strings_;
    HashKeys keys_;
    std::vector<PyObject*> nodes_;  // strong references, in table order
};

constexpr const char* kLoaderParameters[] = {"strings", "table"};
constexpr Signature kLoaderSignature = {"_node_from_table()", kLoaderParameters, 2, 2};

}  // namespace

PyObject* node_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* node_deepcopy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* node_reduce(PyObject* self, PyObject*) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyRef loader = PyRef::steal(table_loader());
        if (!loader) return nullptr;
        TableWriter writer;
        writer.tree(self);
        const std::vector<std::string_view>& strings = writer.strings();
        PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(strings.size())));
        if (!tuple) return nullptr;
        for (size_t i = 0; i < strings.size(); ++i) {
            PyObject* text = str_from_utf8(strings[i]);
            if (!text) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text);
        }
        const std::string& table = writer.table();
        PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(table.data(), static_cast<Py_ssize_t>(table.size())));
        if (!bytes) return nullptr;
        return Py_BuildValue("(O(OO))", loader.get(), tuple.get(), bytes.get());
    });
}

PyObject* node_from_table_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_fastcall(kLoaderSignature, args, nargs, kwnames, bound)) return nullptr;
        PyObject* tuple = bound[0];
        if (!PyTuple_Check(tuple)) return raise_type_mismatch(tuple, "tuple"), add_parameter_note("strings"), nullptr;
        if (!PyBytes_Check(bound[1]))
            return raise_type_mismatch(bound[1], "bytes"), add_parameter_note("table"), nullptr;
        // The tuple and the bytes are immutable and the caller holds them: the
        // borrowed items and their UTF-8 forms stay valid for the whole call.
        const Py_ssize_t count = PyTuple_GET_SIZE(tuple);
        std::vector<std::string_view> strings;
        strings.reserve(static_cast<size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            auto bytes = str_bytes(PyTuple_GET_ITEM(tuple, i));
            if (!bytes) return add_parameter_note("strings"), nullptr;
            strings.push_back(*bytes);
        }
        const std::string_view table(PyBytes_AS_STRING(bound[1]), static_cast<size_t>(PyBytes_GET_SIZE(bound[1])));
        // One key pair for every attribute map of the load, as for one parse.
        TableReader reader(table, std::move(strings), take_thread_hash_keys());
        return reader.read();
    });
}

}  // namespace brindxml
