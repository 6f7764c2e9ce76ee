#include "binding/arg_binding.hpp"

#include <cstring>
#include <string>

namespace brindxml {

namespace {

bool too_many_positional(const Signature& s, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (s.required == s.parameter_count)
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
                     s.name_in_messages, s.parameter_count, given, verb);
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                     s.name_in_messages, s.required, s.parameter_count, given, verb);
    return false;
}

// The parameter a keyword names: its index, kNotText for a keyword that is
// not text (not a str, or one that cannot be encoded), or kUnknown. Runs no
// Python code.
constexpr int kNotText = -2;
constexpr int kUnknown = -1;
int parameter_index(const Signature& s, PyObject* keyword) noexcept {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &length) : nullptr;
    if (!text) {
        PyErr_Clear();
        return kNotText;
    }
    for (int i = 0; i < s.parameter_count; ++i) {
        const char* name = s.parameters[i];
        if (std::strlen(name) == static_cast<size_t>(length) && std::memcmp(name, text, static_cast<size_t>(length)) == 0) return i;
    }
    return kUnknown;
}

// Raises the error for a keyword that cannot be bound.
bool keyword_refused(const Signature& s, PyObject* keyword, int index) {
    if (index >= 0)
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", s.name_in_messages,
                     s.parameters[index]);
    else if (index == kNotText)
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", s.name_in_messages, keyword);
    else
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", s.name_in_messages, keyword);
    return false;
}

// Assigns one keyword argument; false with TypeError set on a bad keyword.
bool bind_keyword(const Signature& s, PyObject* keyword, PyObject* value, PyObject** bound) {
    const int index = parameter_index(s, keyword);
    if (index < 0 || bound[index]) return keyword_refused(s, keyword, index);
    bound[index] = value;
    return true;
}

bool check_required(const Signature& s, PyObject** bound) {
    int missing[kMaxParameters];
    int count = 0;
    for (int i = 0; i < s.required; ++i)
        if (!bound[i]) missing[count++] = i;
    if (count == 0) return true;
    std::string list;
    for (int k = 0; k < count; ++k) {
        if (k > 0) {
            if (count == 2) list += " and ";
            else if (k == count - 1) list += ", and ";
            else list += ", ";
        }
        list += '\'';
        list += s.parameters[missing[k]];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s", s.name_in_messages, count,
                 count == 1 ? "argument" : "arguments", list.c_str());
    return false;
}

}  // namespace

bool bind_fastcall(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound) noexcept {
    try {
        for (int i = 0; i < s.parameter_count; ++i) bound[i] = nullptr;
        if (nargs > s.parameter_count) return too_many_positional(s, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
        if (kwnames) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k)
                if (!bind_keyword(s, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound)) return false;
        }
        return check_required(s, bound);
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
}

bool bind_tuple(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** bound, PyRef* held) noexcept {
    try {
        for (int i = 0; i < s.parameter_count; ++i) bound[i] = nullptr;
        const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
        if (nargs > s.parameter_count) return too_many_positional(s, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = PyTuple_GET_ITEM(args, i);
        if (kwargs) {
            // A strong reference to every bound value is taken while the dict
            // is locked; the error for a bad keyword (which may run its
            // __str__) is raised once the lock is left.
            PyRef refused;
            int refused_index = kUnknown;
            Py_BEGIN_CRITICAL_SECTION(kwargs);
            Py_ssize_t position = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &position, &key, &value)) {
                const int index = parameter_index(s, key);
                if (index < 0 || bound[index]) {
                    refused = PyRef::borrow(key);
                    refused_index = index;
                    break;
                }
                held[index] = PyRef::borrow(value);
                bound[index] = value;
            }
            Py_END_CRITICAL_SECTION();
            if (refused) return keyword_refused(s, refused.get(), refused_index);
        }
        return check_required(s, bound);
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
}

}  // namespace brindxml
