// Copying and pickling nodes.
//
// A node never changes, so copy.copy and copy.deepcopy return the node itself.
//
// Node.__reduce__ gives (brindxml._node_from_table, (strings, table)), a flat
// form that pickles and loads without recursion however deep the tree is:
// - strings: a tuple of the strings of the tree (names, attribute names and
//   values, texts): each one shorter than kLongString once, longer ones at
//   each place they occur (see ExpansionLimit);
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
//
// Sharing is found by node identity (a map from node address to its place in
// the table), never by reference counts, which other threads change at any
// moment: the same tree gives the same bytes on every run and every build.
//
// Loading treats the form as untrusted input:
// - each string of the tuple is copied once, into one buffer the loaded nodes
//   view, however many times the table names it (a tuple that holds one str
//   object at several places is copied once too);
// - a node's attribute table is sized for its distinct names, whatever count
//   the table claims (a repeated name keeps its last value);
// - the tree a table describes, with every back reference followed, is what
//   to_dict, the writer and every walk visit: its size is bounded (see
//   ExpansionLimit), so that a few hundred bytes cannot describe a tree of
//   2**60 nodes. Pickling refuses a tree beyond the same bound, so every
//   pickle brindxml makes loads.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "binding/errors.hpp"
#include "binding/once_cell.hpp"
#include "binding/py_ref.hpp"
#include "binding/safe_point.hpp"
#include "entities/node_object.hpp"
#include "entities/node_pickle.hpp"
#include "entities/str_from_utf8.hpp"
#include "platform/compiler.hpp"

namespace brindxml {

namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) noexcept {
    uint64_t sum;
    return platform::checked_add(a, b, sum) ? sum : std::numeric_limits<uint64_t>::max();
}

uint64_t saturating_multiply(uint64_t a, uint64_t b) noexcept {
    uint64_t product;
    return platform::checked_multiply(a, b, product) ? product : std::numeric_limits<uint64_t>::max();
}

// The tree under a node with every shared node counted once per path to it:
// what a walk, to_dict and the writer go through. Saturates at 2**64 - 1.
struct Expansion {
    uint64_t nodes = 0;
    uint64_t string_bytes = 0;  // names, attribute names and values, texts

    void add(const Expansion& other) noexcept {
        nodes = saturating_add(nodes, other.nodes);
        string_bytes = saturating_add(string_bytes, other.string_bytes);
    }
};

// Strings of this many bytes or more are written at each place they occur
// rather than once (see ExpansionLimit).
constexpr size_t kLongString = 64;

// The bytes of one node's own strings.
uint64_t own_string_bytes(const NodeFields& fields) noexcept {
    uint64_t bytes = fields.name.size();
    fields.attrs.for_each([&](const NodeString& key, const NodeString& value) {
        bytes = saturating_add(bytes, saturating_add(key.size(), value.size()));
    });
    return fields.text ? saturating_add(bytes, fields.text->size()) : bytes;
}

// How far a table of `table_bytes` bytes, whose strings take `string_bytes`
// bytes, may expand: like a decompressor's bound on its output ratio, the
// bound keeps the work a loaded tree can cause (to_dict, the writer, every
// walk) proportional to the pickle's size.
//
// A tree that shares no node, as every tree read from a document, never
// exceeds it, so its pickle always loads:
// - nodes: every node takes at least 4 bytes of table, so such a tree has at
//   most a quarter as many nodes as its table has bytes, 64 times below the
//   bound of kNodesPerTableByte per byte;
// - string bytes: each string shorter than kLongString is written once and
//   named by an index of at least one byte, so each naming adds fewer than 64
//   bytes per byte of table; each longer one is written at every place it
//   occurs, so it adds its own bytes of input. The total stays within
//   kBytesPerInputByte times the table and strings together.
// Sharing comes only from trees built in Python that reuse a node under
// several parents; those expand, and a chain of nodes that each refer twice
// to the one before doubles with every 6 bytes of table. A back reference
// takes at least a byte, so a parent may refer to a subtree of up to 16 nodes
// as often as it likes; beyond that the allowances let any tree of up to
// 65,536 nodes and 64 MiB of strings load however it shares (to_dict makes
// some tens of MB of objects for that many nodes), and refuse the rest.
struct ExpansionLimit {
    static constexpr uint64_t kNodesPerTableByte = 16;
    static constexpr uint64_t kNodeAllowance = uint64_t{1} << 16;
    static constexpr uint64_t kBytesPerInputByte = 64;
    static constexpr uint64_t kStringAllowance = uint64_t{64} << 20;

    uint64_t nodes;
    uint64_t string_bytes;

    static ExpansionLimit of(uint64_t table_bytes, uint64_t string_bytes) noexcept {
        const uint64_t input = saturating_add(table_bytes, string_bytes);
        return {saturating_add(saturating_multiply(kNodesPerTableByte, table_bytes), kNodeAllowance),
                saturating_add(saturating_multiply(kBytesPerInputByte, input), kStringAllowance)};
    }

    // True when `expansion` fits; else raises ValueError, its message led by `context`.
    bool admits(const Expansion& expansion, const char* context) const noexcept {
        if (expansion.nodes > nodes) {
            PyErr_Format(PyExc_ValueError, "%s: the tree expands to %llu nodes, more than the %llu allowed", context,
                         static_cast<unsigned long long>(expansion.nodes), static_cast<unsigned long long>(nodes));
            return false;
        }
        if (expansion.string_bytes > string_bytes) {
            PyErr_Format(PyExc_ValueError, "%s: the tree expands to %llu bytes of strings, more than the %llu allowed",
                         context, static_cast<unsigned long long>(expansion.string_bytes),
                         static_cast<unsigned long long>(string_bytes));
            return false;
        }
        return true;
    }
};

// A map from an object's address to a number. Open addressing with linear
// probing over a power-of-two table at most half full; the multiplicative hash
// spreads addresses that an allocator hands out at regular steps. Keys and
// values live apart, so a search that misses, the common case, reads only
// keys, and only the keys need clearing when the table is made.
class AddressMap {
public:
    static constexpr uint64_t kAbsent = std::numeric_limits<uint64_t>::max();

    AddressMap() noexcept = default;
    AddressMap(const AddressMap&) = delete;
    AddressMap& operator=(const AddressMap&) = delete;
    ~AddressMap() {
        std::free(keys_);
        std::free(values_);
    }

    // Asks the processor for the slot where a search for `key` begins.
    void prefetch(const void* key) const noexcept {
        if (keys_) platform::prefetch(&keys_[slot_of(key)]);
    }
    // The value of `key` (not null) if present; else adds `key` with `value`
    // and returns kAbsent.
    uint64_t find_or_insert(const void* key, uint64_t value) {
        if (count_ == grow_at_) grow();
        size_t i = slot_of(key);
        for (; keys_[i]; i = (i + 1) & mask_)
            if (keys_[i] == key) return values_[i];
        keys_[i] = key;
        values_[i] = value;
        ++count_;
        return kAbsent;
    }

private:
    size_t slot_of(const void* key) const noexcept {
        const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
        return static_cast<size_t>((address * 0x9E3779B97F4A7C15ULL) >> shift_);
    }
    void grow() {
        const size_t old_capacity = keys_ ? mask_ + 1 : 0;
        if (old_capacity > std::numeric_limits<size_t>::max() / 4 / sizeof(uint64_t)) throw std::bad_alloc();
        const size_t capacity = old_capacity ? old_capacity * 2 : 64;
        auto* keys = static_cast<const void**>(std::calloc(capacity, sizeof(const void*)));
        auto* values = static_cast<uint64_t*>(std::malloc(capacity * sizeof(uint64_t)));
        if (!keys || !values) {
            std::free(keys);
            std::free(values);
            throw std::bad_alloc();
        }
        const void** old_keys = std::exchange(keys_, keys);
        uint64_t* old_values = std::exchange(values_, values);
        mask_ = capacity - 1;
        shift_ = 64;
        for (size_t c = capacity; c > 1; c >>= 1) --shift_;
        grow_at_ = capacity / 2;
        for (size_t j = 0; j < old_capacity; ++j) {
            if (!old_keys[j]) continue;
            size_t i = slot_of(old_keys[j]);
            while (keys_[i]) i = (i + 1) & mask_;
            keys_[i] = old_keys[j];
            values_[i] = old_values[j];
        }
        std::free(old_keys);
        std::free(old_values);
    }

    const void** keys_ = nullptr;  // null marks a free slot
    uint64_t* values_ = nullptr;   // meaningful where the key is set
    size_t mask_ = 0;
    unsigned shift_ = 64;
    size_t count_ = 0;
    size_t grow_at_ = 0;
};

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

    // Writes `root` and every node below it. The caller holds `root`, which
    // holds the rest: the walk may detach at its safe points.
    void tree(PyObject* root) {
        struct Visit {
            PyObject* node;
            uint64_t entered;  // its number in the order nodes are entered
            size_t next_child;
        };
        std::vector<Visit> path;
        std::vector<uint64_t> done;  // table indices of finished children, per open node
        SafePoint safe_point;
        path.push_back(Visit{root, enter(), 0});
        while (!path.empty()) {
            Visit& top = path.back();
            const ChildArray& children = fields_of(top.node).children;
            if (top.next_child < children.size()) {
                PyObject* child = children[top.next_child++];
                // The next sibling's slot is fetched while this child is written.
                if (top.next_child < children.size()) entered_.prefetch(children[top.next_child]);
                const uint64_t number = entered_.find_or_insert(child, index_by_entry_.size());
                if (number != AddressMap::kAbsent) {
                    // Entered before, and written since: a node has no path to itself.
                    done.push_back(index_by_entry_[number]);
                } else {
                    path.push_back(Visit{child, enter(), 0});
                }
                continue;
            }
            const Visit visit = top;
            path.pop_back();
            const uint64_t index = write_node(visit.node, done);
            index_by_entry_[visit.entered] = index;
            done.push_back(index);
            safe_point.tick();
        }
    }

    std::string& table() noexcept { return table_; }
    const std::vector<std::string_view>& strings() const noexcept { return order_; }
    // The bytes of the distinct strings.
    uint64_t string_bytes() const noexcept { return string_bytes_; }
    const Expansion& root_expansion() const noexcept { return expansions_.back(); }

private:
    // Numbers the next node entered.
    uint64_t enter() {
        index_by_entry_.push_back(0);
        return index_by_entry_.size() - 1;
    }

    uint64_t index_of(std::string_view bytes) {
        const bool is_long = bytes.size() >= kLongString;
        if (!is_long)
            if (const uint64_t* index = strings_.find(bytes)) return *index;
        const uint64_t index = order_.size();
        order_.push_back(bytes);
        if (!is_long) strings_.insert_new(Bytes{bytes}, index);
        string_bytes_ = saturating_add(string_bytes_, bytes.size());
        return index;
    }
    // Writes a string's index and returns its size.
    uint64_t string(std::string_view bytes) {
        put_number(table_, index_of(bytes));
        return bytes.size();
    }

    // Writes one node whose children's indices are the last entries of `done`.
    uint64_t write_node(PyObject* node, std::vector<uint64_t>& done) {
        const NodeFields& fields = fields_of(node);
        const uint64_t index = expansions_.size();
        // The node's own strings are each smaller than the address space.
        uint64_t own_bytes = string(fields.name.bytes());
        put_number(table_, fields.attrs.size());
        fields.attrs.for_each([&](const NodeString& key, const NodeString& value) {
            own_bytes = saturating_add(own_bytes, string(key.bytes()));  // the name first
            own_bytes = saturating_add(own_bytes, string(value.bytes()));
        });
        Expansion expansion{1, own_bytes};
        const size_t child_count = fields.children.size();
        put_number(table_, child_count);
        for (size_t i = done.size() - child_count; i < done.size(); ++i) {
            put_number(table_, index - done[i]);
            expansion.add(expansions_[done[i]]);
        }
        done.resize(done.size() - child_count);
        if (fields.text) {
            put_number(table_, index_of(fields.text->bytes()) + 1);
            expansion.string_bytes = saturating_add(expansion.string_bytes, fields.text->size());
        } else {
            put_number(table_, 0);
        }
        expansions_.push_back(expansion);
        return index;
    }

    KeyedMap<Bytes, uint64_t> strings_;
    std::vector<std::string_view> order_;
    uint64_t string_bytes_ = 0;
    AddressMap entered_;                    // node (but the root) -> its number in index_by_entry_
    std::vector<uint64_t> index_by_entry_;  // table index of each node entered, once written
    std::vector<Expansion> expansions_;     // per node index
    std::string table_;
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

// The strings of a table, each copied once into one buffer that the loaded
// nodes view. Entries of the tuple with the same bytes in memory (one str
// object at several places) share one copy.
class StringPool {
public:
    // `strings` views the tuple's UTF-8 forms, which the caller holds.
    explicit StringPool(const std::vector<std::string_view>& strings) {
        spans_.reserve(strings.size());
        AddressMap first_place;  // a string's bytes -> its entry in spans_
        uint64_t total = 0;
        for (const std::string_view bytes : strings) {
            if (bytes.empty()) {
                spans_.push_back(Span{0, 0});
                continue;
            }
            const uint64_t seen = first_place.find_or_insert(bytes.data(), spans_.size());
            if (seen != AddressMap::kAbsent) {
                spans_.push_back(spans_[seen]);
                continue;
            }
            spans_.push_back(Span{total, bytes.size()});
            total += bytes.size();  // distinct buffers in memory: the sum fits
        }
        if (total == 0) return;
        std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(total)]);
        for (size_t i = 0; i < strings.size(); ++i)
            if (!strings[i].empty()) std::memcpy(buffer.get() + spans_[i].begin, strings[i].data(), strings[i].size());
        source_ = SourceRef(SourceText::owned(buffer.get(), total));
        buffer.release();
    }

    uint64_t size() const noexcept { return spans_.size(); }
    // The bytes copied: each distinct string once.
    uint64_t bytes() const noexcept { return source_ ? source_->length() : 0; }
    // String `index` (< size()) as a view into the pool.
    NodeString at(uint64_t index) const noexcept {
        const Span& span = spans_[index];
        if (span.size == 0) return NodeString();
        return NodeString::view(source_.get(), span.begin, span.begin + span.size);
    }

private:
    struct Span {
        uint64_t begin;
        uint64_t size;
    };
    std::vector<Span> spans_;
    SourceRef source_;
};

class TableReader {
public:
    TableReader(std::string_view table, const StringPool& strings, HashKeys keys) noexcept
        : at_(table.data()),
          end_(table.data() + table.size()),
          table_bytes_(table.size()),
          strings_(strings),
          keys_(keys) {}
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;
    ~TableReader() { release_children(nodes_); }

    // The root, or null with ValueError set. The nodes made so far are this
    // reader's own and the table is held by the caller: the loop may detach at
    // its safe points.
    PyObject* read() {
        SafePoint safe_point;
        while (at_ != end_) {
            NodeFields fields;
            Expansion expansion;
            if (!read_fields(fields, expansion)) return nullptr;
            PyObject* node = new_node_object(std::move(fields));
            if (!node) return nullptr;
            try {
                nodes_.push_back(node);
            } catch (...) {
                Py_DECREF(node);
                throw;
            }
            expansions_.push_back(expansion);  // a failure leaves nodes_ to the destructor
            safe_point.tick();
        }
        if (nodes_.empty()) return fail("Invalid name");
        if (!limit().admits(expansions_.back(), "Invalid table")) return nullptr;
        PyObject* root = nodes_.back();
        nodes_.pop_back();
        return root;
    }

private:
    // Room reserved up front for a node's attributes, whatever count the table
    // claims: a claim of millions of (repeated) names gets no table of millions.
    static constexpr uint64_t kReservedAttrs = 1024;

    static PyObject* fail(const char* message) noexcept {
        PyErr_SetString(PyExc_ValueError, message);
        return nullptr;
    }

    ExpansionLimit limit() const noexcept { return ExpansionLimit::of(table_bytes_, strings_.bytes()); }

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

    bool string(NodeString& out) noexcept {
        uint64_t index;
        if (!number(index) || index >= strings_.size()) return false;
        out = strings_.at(index);
        return true;
    }

    // Reads one node's fields and what its tree expands to.
    bool read_fields(NodeFields& fields, Expansion& expansion) {
        if (!string(fields.name)) return fail("Invalid name"), false;
        uint64_t count;
        // Every entry takes at least one byte: a count beyond what is left is false.
        if (!number(count) || count > left() / 2) return fail("Invalid attrs"), false;
        fields.attrs = AttrMap(keys_);
        fields.attrs.reserve(count < kReservedAttrs ? count : kReservedAttrs);
        for (uint64_t i = 0; i < count; ++i) {
            NodeString key, value;
            if (!string(key) || !string(value)) return fail("Invalid attrs"), false;
            fields.attrs.insert_or_assign(std::move(key), std::move(value));
        }
        if (fields.attrs.size() < count) fit_attrs(fields.attrs);
        if (!number(count) || count > left()) return fail("Invalid children"), false;
        fields.children.reserve(count);
        expansion = Expansion{1, 0};
        for (uint64_t i = 0; i < count; ++i) {
            uint64_t back;
            if (!number(back) || back == 0 || back > nodes_.size()) {
                release_children(fields.children);
                return fail("Invalid children"), false;
            }
            const size_t place = nodes_.size() - back;
            fields.children.push_back(Py_NewRef(nodes_[place]));
            expansion.add(expansions_[place]);
        }
        uint64_t text;
        if (!number(text) || text > strings_.size()) {
            release_children(fields.children);
            return fail("Invalid text"), false;
        }
        if (text) fields.text = strings_.at(text - 1);
        expansion.string_bytes = saturating_add(expansion.string_bytes, own_string_bytes(fields));
        return true;
    }

    // Repeated names left the table larger than its distinct names need: it
    // moves into one of the size they need.
    void fit_attrs(AttrMap& attrs) {
        AttrMap fitted(keys_);
        fitted.reserve(attrs.size());
        if (fitted.capacity() >= attrs.capacity()) return;
        // Room is reserved: no insertion below allocates or throws.
        attrs.for_each_mut(
            [&](NodeString& key, NodeString& value) { fitted.insert_new(std::move(key), std::move(value)); });
        attrs = std::move(fitted);
    }

    const char* at_;
    const char* end_;
    uint64_t table_bytes_;
    const StringPool& strings_;
    HashKeys keys_;
    std::vector<PyObject*> nodes_;       // strong references, in table order
    std::vector<Expansion> expansions_;  // per node of nodes_
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
        // A pickle that would not load is refused now rather than at loading.
        const ExpansionLimit limit = ExpansionLimit::of(writer.table().size(), writer.string_bytes());
        if (!limit.admits(writer.root_expansion(), "Cannot pickle")) return nullptr;
        const std::vector<std::string_view>& strings = writer.strings();
        PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(strings.size())));
        if (!tuple) return nullptr;
        // The views point into the tree, which `self` holds; the tuple is this
        // call's own until it is returned.
        SafePoint safe_point;
        for (size_t i = 0; i < strings.size(); ++i) {
            PyObject* text = str_from_utf8(strings[i]);
            if (!text) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text);
            safe_point.tick();
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
        SafePoint safe_point;
        for (Py_ssize_t i = 0; i < count; ++i) {
            auto bytes = str_bytes(PyTuple_GET_ITEM(tuple, i));
            if (!bytes) return add_parameter_note("strings"), nullptr;
            strings.push_back(*bytes);
            safe_point.tick();
        }
        const StringPool pool(strings);
        const std::string_view table(PyBytes_AS_STRING(bound[1]), static_cast<size_t>(PyBytes_GET_SIZE(bound[1])));
        // One key pair for every attribute map of the load, as for one parse.
        TableReader reader(table, pool, take_thread_hash_keys());
        return reader.read();
    });
}

}  // namespace brindxml
