// Converting Python values into the system's own values. Each conversion
// either yields the value or fails with a Python exception set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/keyed_map.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"

namespace brindxml {

using StringMap = KeyedMap<std::string, std::string>;

// The UTF-8 bytes of a str (or subclass), borrowed from the object.
std::optional<std::string_view> str_bytes(PyObject* object) noexcept;
// An owned copy of them.
bool convert_str(PyObject* object, std::string& out);

std::optional<int32_t> convert_i32(PyObject* object) noexcept;
std::optional<uint8_t> convert_u8(PyObject* object) noexcept;
std::optional<uint64_t> convert_u64(PyObject* object) noexcept;
std::optional<bool> convert_bool(PyObject* object) noexcept;

bool convert_string_map(PyObject* object, StringMap& out);

// Takes the next item of an iterator: 1 with a new reference, 0 at the end,
// -1 with an error set.
int next_item(PyObject* iterator, PyObject** item) noexcept;

// Checks the sequence rules (not a str, passes PySequence_Check) and returns an
// iterator over it plus a length hint; null with an error set otherwise.
PyRef begin_sequence(PyObject* object, Py_ssize_t& length_hint) noexcept;

// How many items to reserve for a sequence that reports `hint` items. The
// reported length is only a hint: a sequence may claim far more items than it
// yields (a __len__ of sys.maxsize), so the reservation is capped and the
// vector grows past it as items arrive.
inline constexpr Py_ssize_t kMaxSequenceReservation = Py_ssize_t{1} << 20;
inline size_t sequence_reservation(Py_ssize_t hint) noexcept {
    if (hint <= 0) return 0;
    return static_cast<size_t>(hint < kMaxSequenceReservation ? hint : kMaxSequenceReservation);
}

// Converts every item of a sequence with `convert_item(PyObject*, Element&) -> bool`.
template <class Element, class ConvertItem>
bool convert_sequence(PyObject* object, std::vector<Element>& out, ConvertItem&& convert_item) {
    Py_ssize_t hint = 0;
    PyRef iterator = begin_sequence(object, hint);
    if (!iterator) return false;
    std::vector<Element> items;
    items.reserve(sequence_reservation(hint));
    for (;;) {
        PyObject* raw = nullptr;
        const int status = next_item(iterator.get(), &raw);
        if (status < 0) return false;
        if (status == 0) break;
        PyRef item = PyRef::steal(raw);
        items.emplace_back();
        if (!convert_item(item.get(), items.back())) return false;
    }
    out = std::move(items);
    return true;
}

// Steps through a dict one entry at a time under the dict's critical section,
// failing with PanicException when the dict changes between steps.
class DictCursor {
public:
    explicit DictCursor(PyObject* dict) noexcept;
    // 1 with new references in key/value, 0 at the end, -1 with an error set.
    int next(PyRef& key, PyRef& value) noexcept;
    Py_ssize_t length() const noexcept { return remaining_start_; }

private:
    PyRef dict_;
    Py_ssize_t position_ = 0;
    int64_t expected_length_;
    int64_t remaining_;
    Py_ssize_t remaining_start_;
};

// Converts a dict with str keys, each value converted by `convert_value(PyObject*, Value&) -> bool`.
template <class Map, class ConvertValue>
bool convert_dict_entries(PyObject* object, Map& out, ConvertValue&& convert_value) {
    if (!PyDict_Check(object)) return raise_type_mismatch(object, "dict");
    DictCursor cursor(object);
    Map map = Map::with_new_keys(static_cast<uint64_t>(cursor.length()));
    PyRef key, value;
    for (;;) {
        const int status = cursor.next(key, value);
        if (status < 0) return false;
        if (status == 0) break;
        std::string converted_key;
        if (!convert_str(key.get(), converted_key)) return false;
        typename std::remove_reference_t<decltype(*map.find(""))> converted_value{};
        if (!convert_value(value.get(), converted_value)) return false;
        map.insert_or_assign(std::move(converted_key), std::move(converted_value));
    }
    out = std::move(map);
    return true;
}

}  // namespace brindxml
