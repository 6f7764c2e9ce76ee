// Converting the dictionary form of a node into ValueMap values.
//
// The dictionary form nests without bound (a Vec holds maps whose values hold
// Vecs), so the conversion keeps its own stack of the dicts and sequences it
// is inside instead of recursing: the maps being filled and the sequences
// being iterated alternate on it, and a failure unwinds it level by level,
// adding the four-variant text (variant_error.hpp) at every sequence it leaves.
#include "binding/value_conversion.hpp"

#include <cstring>
#include <utility>

#include "binding/entry.hpp"
#include "binding/errors.hpp"
#include "binding/variant_error.hpp"

namespace brindxml {

HashmapTypes::~HashmapTypes() {
    if (Vec* vec = vec_if(); vec && !vec->empty()) release_value_maps(std::move(*vec));
}

namespace {

// The first non-empty nested Vec at slot `slot` or after it; `slot` is left at its entry.
HashmapTypes* nested_from(ValueMap& map, uint64_t& slot) noexcept {
    for (; slot < map.capacity(); ++slot) {
        ValueMap::Entry* entry = map.slot(slot);
        if (!entry) continue;
        if (HashmapTypes::Vec* vec = entry->value.vec_if(); vec && !vec->empty()) return &entry->value;
    }
    return nullptr;
}

uint64_t first_slot(ValueMap& map) noexcept {
    uint64_t slot = 0;
    while (!map.slot(slot)) ++slot;
    return slot;
}

}  // namespace

// Frees the nest depth first, without recursion and without allocating: it
// runs in destructors, during unwinding from a failed allocation among
// others, where it must not fail. Each level is freed from its last map back.
// Descending into a Vec held by map `m`, the link back to the level above is
// kept in the Vec's first map that has an entry, moved to the front: in the
// value of its first slot (whose old value `m` adopts, to be freed once the
// level below is done) and, in that slot's key, the slot of `m` to resume at.
// So the first map of every level but the outermost holds its link.
void release_value_maps(std::vector<ValueMap>&& maps) noexcept {
    using Vec = HashmapTypes::Vec;
    Vec level = std::move(maps);
    size_t depth = 0;     // levels above `level`
    uint64_t resume = 0;  // the slot of level.back() to look at next
    bool fresh = true;    // level.back() not looked at yet
    for (;;) {
        if (level.empty()) return;
        ValueMap& map = level.back();
        const bool holder = depth > 0 && level.size() == 1;
        if (fresh) resume = holder ? first_slot(map) + 1 : 0;
        fresh = false;
        if (HashmapTypes* value = nested_from(map, resume)) {
            Vec below = std::exchange(*value->vec_if(), {});
            size_t first = 0;
            while (first < below.size() && below[first].empty()) ++first;
            if (first == below.size()) continue;  // maps without entries: `below` frees them flat
            if (first != 0) below[0].swap(below[first]);
            ValueMap::Entry& link = *below[0].slot(first_slot(below[0]));
            *value = std::move(link.value);
            link.value = HashmapTypes(HashmapTypes::Variant(std::in_place_type<Vec>, std::move(level)));
            // Short enough for the string's own buffer: no allocation.
            link.key.assign(reinterpret_cast<const char*>(&resume), sizeof resume);
            level = std::move(below);
            ++depth;
            fresh = true;
            continue;
        }
        if (!holder) {
            level.pop_back();
            fresh = true;
            continue;
        }
        ValueMap::Entry& link = *map.slot(first_slot(map));
        std::memcpy(&resume, link.key.data(), sizeof resume);
        Vec above = std::exchange(*link.value.vec_if(), {});
        level = std::move(above);  // frees the finished level, whose maps own no nest
        --depth;
    }
}

namespace {

class DictFormConverter {
public:
    bool convert_map(PyObject* object, ValueMap& out) {
        if (!PyDict_Check(object)) return raise_type_mismatch(object, "dict");
        map_out_ = &out;
        push_map(object);
        return run();
    }

    bool convert_value(PyObject* object, HashmapTypes& out) {
        value_out_ = &out;
        root_is_vec_ = true;
        HashmapTypes converted;
        switch (start_value(object, converted)) {
            case Start::Done: out = std::move(converted); return true;
            case Start::Descended: return run();
            case Start::Failed: return raise_failure(failure_);
            case Start::Aborted: return false;
        }
        return false;
    }

private:
    struct MapLevel {
        PyObject* dict;  // held by the cursor
        DictCursor cursor;
        ValueMap map;
        std::string key;  // the key whose value is the sequence above this level
    };
    struct VecLevel {
        PyRef value;
        PyRef iterator;
        HashmapTypes::Vec items;
    };
    enum class Start { Done, Descended, Failed, Aborted };
    // The outcome of one step: go on, a failure recorded in failure_, or a
    // PanicException raised (which ends the conversion as it is).
    enum class Step { Continue, Failed, Aborted };

    bool vec_on_top() const noexcept {
        return root_is_vec_ ? vecs_.size() > maps_.size() : vecs_.size() == maps_.size();
    }

    void push_map(PyObject* dict) {
        DictCursor cursor(dict);
        ValueMap map = ValueMap::with_new_keys(static_cast<uint64_t>(cursor.length()));
        maps_.push_back(MapLevel{dict, std::move(cursor), std::move(map), {}});
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

    // Tries the variants on one value. Only the Vec attempt can run Python
    // code (the sequence's length and iterator) or nest, so the others are
    // decided here, in an order that gives the same result as trying all four
    // in tag order; their errors are made only if every variant fails.
    Start start_value(PyObject* value, HashmapTypes& out) {
        if (PyUnicode_Check(value)) {
            Py_ssize_t size = 0;
            if (const char* data = PyUnicode_AsUTF8AndSize(value, &size)) {
                out.value.emplace<std::string>(data, static_cast<size_t>(size));
                return Start::Done;
            }
            PyRef encoding_error = take_raised();
            PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
            failure_ = leaf_failure(take_raised());
            fail_all_variants(failure_, value, std::move(encoding_error), PyRef());
            return Start::Failed;
        }
        if (value == Py_None) {
            out.value.emplace<std::optional<std::string>>();
            return Start::Done;
        }
        if (PySequence_Check(value)) {
            Py_ssize_t hint = 0;
            PyRef iterator = begin_sequence(value, hint);
            if (!iterator) return fail_vec_attempt(value, take_raised());
            vecs_.push_back(VecLevel{PyRef::borrow(value), std::move(iterator), {}});
            vecs_.back().items.reserve(sequence_reservation(hint));
            return Start::Descended;
        }
        PyRef map_error;
        if (PyDict_Check(value)) {
            StringMap map;
            if (convert_string_map(value, map)) {
                out.value.emplace<StringMap>(std::move(map));
                return Start::Done;
            }
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

    // A finished map goes into the sequence below it, or is the result.
    void deliver_map(ValueMap&& map) {
        if (vecs_.empty()) {
            *map_out_ = std::move(map);
            return;
        }
        vecs_.back().items.push_back(std::move(map));
    }

    // A finished value goes into the map below it, or is the result.
    void deliver_value(HashmapTypes&& value) {
        if (maps_.empty()) {
            *value_out_ = std::move(value);
            return;
        }
        MapLevel& level = maps_.back();
        level.map.insert_or_assign(std::move(level.key), std::move(value));
    }

    bool stack_empty() const noexcept { return maps_.empty() && vecs_.empty(); }

    // Steps until the root is complete; true with the result delivered, or
    // false with the exception set.
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
            HashmapTypes value(HashmapTypes::Variant(std::in_place_type<HashmapTypes::Vec>, std::move(level.items)));
            vecs_.pop_back();
            deliver_value(std::move(value));
            return Step::Continue;
        }
        PyRef item = PyRef::steal(raw);
        if (!PyDict_Check(item.get())) {
            failure_ = leaf_failure(type_mismatch(item.get(), "dict"));
            return Step::Failed;
        }
        push_map(item.get());
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
            ValueMap map = std::move(level.map);
            maps_.pop_back();
            deliver_map(std::move(map));
            return Step::Continue;
        }
        if (!convert_str(key.get(), level.key)) {
            failure_ = leaf_failure(take_raised());
            return Step::Failed;
        }
        HashmapTypes converted;
        switch (start_value(value.get(), converted)) {
            case Start::Done:
                level.map.insert_or_assign(std::move(level.key), std::move(converted));
                return Step::Continue;
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
                maps_.pop_back();
            }
        }
        return raise_failure(failure_);
    }

    std::vector<MapLevel> maps_;
    std::vector<VecLevel> vecs_;
    bool root_is_vec_ = false;
    ValueMap* map_out_ = nullptr;
    HashmapTypes* value_out_ = nullptr;
    Failure failure_;
};

}  // namespace

bool convert_value_map(PyObject* object, ValueMap& out) {
    DictFormConverter converter;
    return converter.convert_map(object, out);
}

bool convert_value(PyObject* object, HashmapTypes& out) {
    DictFormConverter converter;
    return converter.convert_value(object, out);
}

}  // namespace brindxml
