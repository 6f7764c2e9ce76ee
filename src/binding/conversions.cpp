#include "binding/conversions.hpp"

#include <climits>

#include "binding/entry.hpp"

namespace brindxml {

std::optional<std::string_view> str_bytes(PyObject* object) noexcept {
    if (!PyUnicode_Check(object)) {
        raise_type_mismatch(object, "str");
        return std::nullopt;
    }
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &length);
    if (!data) return std::nullopt;
    return std::string_view(data, static_cast<size_t>(length));
}

bool convert_str(PyObject* object, std::string& out) {
    auto bytes = str_bytes(object);
    if (!bytes) return false;
    out.assign(bytes->data(), bytes->size());
    return true;
}

namespace {

// In 64 bits on every platform (`long` is 32-bit on Windows).
std::optional<long long> as_long_in(PyObject* object, long long minimum, long long maximum) noexcept {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (value < minimum) {
        PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
        return std::nullopt;
    }
    if (value > maximum) {
        PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<int32_t> convert_i32(PyObject* object) noexcept {
    auto value = as_long_in(object, INT32_MIN, INT32_MAX);
    if (!value) return std::nullopt;
    return static_cast<int32_t>(*value);
}

std::optional<uint8_t> convert_u8(PyObject* object) noexcept {
    auto value = as_long_in(object, 0, 255);
    if (!value) return std::nullopt;
    return static_cast<uint8_t>(*value);
}

std::optional<uint64_t> convert_u64(PyObject* object) noexcept {
    PyRef index;
    if (!PyLong_Check(object)) {
        index = PyRef::steal(PyNumber_Index(object));
        if (!index) return std::nullopt;
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<uint64_t>(value);
}

std::optional<bool> convert_bool(PyObject* object) noexcept {
    if (PyBool_Check(object)) return object == Py_True;
    PyTypeObject* type = Py_TYPE(object);
    PyRef module = PyRef::steal(PyType_GetModuleName(type));
    PyRef name = module ? PyRef::steal(PyType_GetName(type)) : PyRef();
    if (!module || !name || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        raise_type_mismatch(object, "bool");
        return std::nullopt;
    }
    const bool numpy_bool = PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                            (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                             PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
    if (!numpy_bool) {
        raise_type_mismatch(object, "bool");
        return std::nullopt;
    }
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (!nb_bool) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     reinterpret_cast<PyObject*>(type));
        return std::nullopt;
    }
    const int truth = nb_bool(object);
    if (truth < 0) return std::nullopt;
    return truth == 1;
}

bool convert_string_map(PyObject* object, StringMap& out) {
    return convert_dict_entries(object, out, [](PyObject* value, std::string& converted) {
        return convert_str(value, converted);
    });
}

int next_item(PyObject* iterator, PyObject** item) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return PyIter_NextItem(iterator, item);
#else
    *item = PyIter_Next(iterator);
    if (*item) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

PyRef begin_sequence(PyObject* object, Py_ssize_t& length_hint) noexcept {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return PyRef();
    }
    if (!PySequence_Check(object)) {
        raise_type_mismatch(object, "Sequence");
        return PyRef();
    }
    length_hint = PyObject_Size(object);
    if (length_hint < 0) {
        PyErr_Clear();
        length_hint = 0;
    }
    return PyRef::steal(PyObject_GetIter(object));
}

DictCursor::DictCursor(PyObject* dict) noexcept : dict_(PyRef::borrow(dict)) {
    const Py_ssize_t length = PyDict_Size(dict);
    expected_length_ = length;
    remaining_ = length;
    remaining_start_ = length;
}

int DictCursor::next(PyRef& key, PyRef& value) noexcept {
    PyObject* dict = dict_.get();
    const char* failure = nullptr;
    // Strong references are taken while the dict is locked; the caller's
    // previous key and value are dropped only after the section ends. Dropping
    // them can run arbitrary code (a finaliser, or a large tree's teardown
    // that releases the thread state and so suspends the section), which may
    // change the dict: nothing borrowed from it may be held across that.
    PyRef next_key, next_value;
    Py_BEGIN_CRITICAL_SECTION(dict);
    if (PyDict_GET_SIZE(dict) != expected_length_) {
        expected_length_ = -1;
        failure = "dictionary changed size during iteration";
    } else if (remaining_ == -1) {
        expected_length_ = -1;
        failure = "dictionary keys changed during iteration";
    } else {
        PyObject *k, *v;
        if (PyDict_Next(dict, &position_, &k, &v)) {
            --remaining_;
            next_key = PyRef::borrow(k);
            next_value = PyRef::borrow(v);
        }
    }
    Py_END_CRITICAL_SECTION();
    if (failure) {
        raise_panic(failure);
        return -1;
    }
    const int status = next_key ? 1 : 0;
    key = std::move(next_key);
    value = std::move(next_value);
    return status;
}

}  // namespace brindxml
