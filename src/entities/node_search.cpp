// Node.search, search_by_name, search_by_attr and search_by_text: the nodes of
// a subtree that match a name, an attribute key or a text, in document order.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/siphash.hpp"
#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "binding/errors.hpp"
#include "entities/node_methods.hpp"
#include "entities/node_object.hpp"
#include "entities/search_type.hpp"
#include "platform/compiler.hpp"

namespace brindxml {

namespace {

struct SearchQuery {
    SearchCriterion criterion;
    std::string_view needle;  // borrowed from the argument str for the call
    bool limited = false;     // whether `depth` bounds the walk
    int32_t depth = 0;
};

// Names and texts are mostly short: compare those inline rather than
// through a library call.
inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.size() > 16) return std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// The needle's hash under the key pair of the last attribute map looked at:
// the maps of one parsed document share their pair, so it is hashed once.
struct NeedleHash {
    HashKeys keys{};
    uint64_t hash = 0;
    bool known = false;

    uint64_t under(HashKeys map_keys, std::string_view needle) noexcept {
        if (!known || map_keys.k0 != keys.k0 || map_keys.k1 != keys.k1) {
            keys = map_keys;
            hash = siphash13(keys, needle);
            known = true;
        }
        return hash;
    }
};

bool matches(const NodeFields& fields, const SearchQuery& query, NeedleHash& needle_hash) noexcept {
    switch (query.criterion) {
        case SearchCriterion::Tag: return same_bytes(fields.name.bytes(), query.needle);
        case SearchCriterion::Attr: {
            const AttrMap& attrs = fields.attrs;
            return attrs.capacity() != 0 &&
                   attrs.contains_hashed(query.needle, needle_hash.under(attrs.keys(), query.needle));
        }
        case SearchCriterion::Text: return fields.text && same_bytes(fields.text->bytes(), query.needle);
    }
    return false;
}

// Pre-order walk with an explicit stack of the child ranges still to visit,
// so any depth works. A node is considered before the depth limit applies to
// its children; a node shared by several parents is visited once per place.
// Appends new references to `found`.
//
// The caller holds `root` and a shared borrow of it for the whole walk. Every
// descendant stays alive and unchanged meanwhile without a reference of its
// own: it is held by its parent's children array, which never changes after
// construction. So the walk only reads the nodes it passes; it writes to
// none of them (no reference count updates, which in a free-threaded
// interpreter are atomic and contend with other threads reading the tree).
void collect_matches(PyObject* root, const SearchQuery& query, std::vector<PyObject*>& found) {
    struct ChildRange {
        PyObject* const* next;
        PyObject* const* end;
        int32_t remaining;  // the depth left for the nodes of this range
    };
    std::vector<ChildRange> stack;
    NeedleHash needle_hash;
    auto visit = [&](PyObject* node, int32_t remaining) {
        const NodeFields& fields = fields_of(node);
        if (matches(fields, query, needle_hash)) {
            found.push_back(node);
            Py_INCREF(node);
        }
        if (fields.children.empty() || (query.limited && remaining == 0)) return;
        stack.push_back(ChildRange{fields.children.data(), fields.children.data() + fields.children.size(),
                                   query.limited ? remaining - 1 : 0});
    };
    visit(root, query.depth);
    while (!stack.empty()) {
        ChildRange& top = stack.back();
        if (top.next == top.end) {
            stack.pop_back();
            continue;
        }
        PyObject* child = *top.next++;
        // Siblings are independent loads: start fetching the next ones
        // while this one is compared, so a large tree is not walked one
        // cache miss at a time. (A name that is a view lies in document
        // order, which the processor's own prefetching follows.)
        if (top.end - top.next > 4) platform::prefetch(top.next[4]);
        if (top.end - top.next > 2) {
            const NodeString& name = fields_of(top.next[2]).name;
            if (!name.is_view()) platform::prefetch(name.data());
        }
        visit(child, top.remaining);
    }
}

PyObject* run_search(PyObject* self, const SearchQuery& query) {
    std::vector<PyObject*> found;
    try {
        collect_matches(self, query, found);
    } catch (...) {
        release_children(found);
        throw;
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(found.size()));
    if (!list) {
        release_children(found);
        return interpreter_call_failed();
    }
    for (size_t i = 0; i < found.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), found[i]);
    return list;
}

// The search string and the depth, converted in that order; false with the
// error set and the parameter's note attached.
bool convert_needle_and_depth(PyObject* needle, const char* needle_name, PyObject* depth, SearchQuery& query) {
    auto bytes = str_bytes(needle);
    if (!bytes) return add_parameter_note(needle_name);
    query.needle = *bytes;
    if (is_absent(depth)) return true;
    auto value = convert_i32(depth);
    if (!value) return add_parameter_note("depth");
    // A negative depth counts down without ever reaching 0 at a depth a
    // tree can have, so it does not limit the walk.
    query.limited = *value >= 0;
    query.depth = *value;
    return true;
}

constexpr const char* kByNameParameters[] = {"name", "depth"};
constexpr const char* kByAttrParameters[] = {"key", "depth"};
constexpr const char* kByTextParameters[] = {"text", "depth"};
constexpr const char* kSearchParameters[] = {"by", "value", "depth"};
constexpr Signature kByNameSignature = {"Node.search_by_name()", kByNameParameters, 2, 1};
constexpr Signature kByAttrSignature = {"Node.search_by_attr()", kByAttrParameters, 2, 1};
constexpr Signature kByTextSignature = {"Node.search_by_text()", kByTextParameters, 2, 1};
constexpr Signature kSearchSignature = {"Node.search()", kSearchParameters, 3, 2};

PyObject* search_with(SearchCriterion criterion, const Signature& signature, PyObject* self,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_fastcall(signature, args, nargs, kwnames, bound)) return nullptr;
        SearchQuery query{criterion, {}, false, 0};
        if (!convert_needle_and_depth(bound[0], signature.parameters[0], bound[1], query)) return nullptr;
        return run_search(self, query);
    });
}

}  // namespace

PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return search_with(SearchCriterion::Tag, kByNameSignature, self, args, nargs, kwnames);
}

PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return search_with(SearchCriterion::Attr, kByAttrSignature, self, args, nargs, kwnames);
}

PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return search_with(SearchCriterion::Text, kByTextSignature, self, args, nargs, kwnames);
}

PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[3];
        if (!bind_fastcall(kSearchSignature, args, nargs, kwnames, bound)) return nullptr;
        PyTypeObject* search_type = search_type_type();
        if (!search_type) return nullptr;
        if (!PyObject_TypeCheck(bound[0], search_type)) {
            raise_type_mismatch(bound[0], "SearchType");
            return add_parameter_note("by"), nullptr;
        }
        const auto criterion =
            static_cast<SearchCriterion>(reinterpret_cast<SearchTypeObject*>(bound[0])->value);
        SearchQuery query{criterion, {}, false, 0};
        if (!convert_needle_and_depth(bound[1], "value", bound[2], query)) return nullptr;
        return run_search(self, query);
    });
}

}  // namespace brindxml
