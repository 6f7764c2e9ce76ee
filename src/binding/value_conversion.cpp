// Converting the dictionary form of a node into ValueMap values.
//
// The dictionary form nests without bound (a Vec holds maps whose values hold
// Vecs), so the conversion keeps its own stack of the dicts and sequences it
// is inside instead of recursing: the maps being filled and the sequences
// being iterated alternate on it, and a failure unwinds it level by level,
// adding the four-variant text at every sequence it leaves.
#include "binding/value_conversion.hpp"

#include <string_view>
#include <utility>

#include "binding/entry.hpp"
#include "binding/errors.hpp"

namespace brindxml {

HashmapTypes::~HashmapTypes() {
    if (Vec* vec = vec_if(); vec && !vec->empty()) release_value_maps(std::move(*vec));
}

void release_value_maps(std::vector<ValueMap>&& maps) noexcept {
    std::vector<std::vector<ValueMap>> pending;  // allocates only if something is nested
    std::vector<ValueMap> level = std::move(maps);
    for (;;) {
        for (ValueMap& map : level) {
            map.for_each_mut([&](const std::string&, HashmapTypes& value) {
                if (HashmapTypes::Vec* vec = value.vec_if(); vec && !vec->empty())
                    pending.push_back(std::move(*vec));
            });
        }
        // None of these maps owns a nested map any more: free them flat.
        std::vector<ValueMap>().swap(level);
        if (pending.empty()) return;
        level = std::move(pending.back());
        pending.pop_back();
    }
}

namespace {

constexpr std::string_view kEnumHeader =
    "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')";

PyRef take_raised() noexcept { return PyRef::steal(PyErr_GetRaisedException()); }

PyRef type_mismatch(PyObject* object, const char* target) noexcept {
    raise_type_mismatch(object, target);
    return take_raised();
}

bool is_panic(PyObject* exception) noexcept {
    PyObject* panic = panic_exception_type();
    if (!panic) {
        PyErr_Clear();
        return false;
    }
    return PyErr_GivenExceptionMatches(exception, panic) != 0;
}

// The UTF-8 text of a str; lone surrogates become U+FFFD, as a lossy decode would show them.
void append_lossy(std::string& out, PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        out.append(data, static_cast<size_t>(size));
        return;
    }
    PyErr_Clear();
    PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    PyRef decoded = encoded ? PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded.get()),
                                                                PyBytes_GET_SIZE(encoded.get()), "replace"))
                            : PyRef();
    const char* data = decoded ? PyUnicode_AsUTF8AndSize(decoded.get(), &size) : nullptr;
    if (!data) {
        PyErr_Clear();
        return;
    }
    out.append(data, static_cast<size_t>(size));
}

// "{qualified type name}: {str(exception)}".
void append_display(std::string& out, PyObject* exception) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exception)));
    if (qualname) {
        append_lossy(out, qualname.get());
    } else {
        PyErr_Clear();
        out += "<failed to extract type name>";
    }
    out += ": ";
    PyRef text = PyRef::steal(PyObject_Str(exception));
    if (text) {
        append_lossy(out, text.get());
    } else {
        PyErr_Clear();
        out += "<exception str() failed>";
    }
}

// The display of an exception and, after ", caused by ", of each of its causes in turn.
void append_description(std::string& out, PyObject* exception) {
    std::vector<PyRef> seen;
    PyRef current = PyRef::borrow(exception);
    while (current) {
        for (const PyRef& earlier : seen)
            if (earlier.get() == current.get()) return;  // a cycle of causes ends the chain
        if (!seen.empty()) out += ", caused by ";
        append_display(out, current.get());
        PyRef cause = PyRef::steal(PyException_GetCause(current.get()));
        seen.push_back(std::move(current));
        current = std::move(cause);
    }
}

// One variant attempt's error as it reads after being wrapped in
// "failed to extract field HashmapTypes::{variant}.0" with the error as its cause.
void append_attempt(std::string& out, const char* variant, PyObject* error) {
    out += "TypeError: failed to extract field HashmapTypes::";
    out += variant;
    out += ".0, caused by ";
    append_description(out, error);
}

// A failure on its way out of the conversion. As long as it is one Python
// exception (`leaf`) it is raised unchanged. Once a value has failed all four
// variants it is the four-variant TypeError, kept as the text every level
// adds before and after the innermost part: the message of a failure N
// levels deep then costs O(N) to build instead of O(N^2).
struct Failure {
    PyRef leaf;
    std::vector<std::string> heads;  // innermost level first
    std::string core;
    std::vector<std::string> tails;  // innermost level first
};

bool raise_failure(Failure& failure) {
    if (failure.leaf) {
        PyErr_SetRaisedException(failure.leaf.release());
        return false;
    }
    size_t size = failure.core.size();
    for (const std::string& head : failure.heads) size += head.size();
    for (const std::string& tail : failure.tails) size += tail.size();
    std::string message;
    message.reserve(size);
    for (auto head = failure.heads.rbegin(); head != failure.heads.rend(); ++head) message += *head;
    message += failure.core;
    for (const std::string& tail : failure.tails) message += tail;
    raise_message(PyExc_TypeError, message);
    return false;
}

// `value` fitted no variant: `failure` holds what the Vec attempt failed
// with and becomes the four-variant error. `string_error` is the String
// attempt's error when it was not a type mismatch (a str that cannot be
// encoded); `map_error` is the Map attempt's error when `value` was a dict.
// The value is never None here, so NullableString failed exactly as String did.
void fail_all_variants(Failure& failure, PyObject* value, PyRef string_error, PyRef map_error) {
    if (!string_error) string_error = type_mismatch(value, "str");
    if (!map_error) map_error = type_mismatch(value, "dict");
    std::string head(kEnumHeader);
    head += "\n- variant String (String): ";
    append_attempt(head, "String", string_error.get());
    head += "\n- variant Vec (Vec): TypeError: failed to extract field HashmapTypes::Vec.0, caused by ";
    std::string tail = "\n- variant NullableString (NullableString): ";
    append_attempt(tail, "NullableString", string_error.get());
    tail += "\n- variant Map (Map): ";
    append_attempt(tail, "Map", map_error.get());
    if (failure.leaf) {
        append_description(failure.core, failure.leaf.get());
        failure.leaf = PyRef();
    } else {
        head += "TypeError: ";  // the nested four-variant error has no cause of its own
    }
    failure.heads.push_back(std::move(head));
    failure.tails.push_back(std::move(tail));
}

Failure leaf_failure(PyRef error) {
    Failure failure;
    failure.leaf = std::move(error);
    return failure;
}

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
