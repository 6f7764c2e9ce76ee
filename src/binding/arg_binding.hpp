// Binding call arguments to a callable's parameters, with the module's exact
// messages for surplus, unexpected, repeated and missing arguments.
#pragma once

#include <Python.h>

#include "binding/py_ref.hpp"

namespace brindxml {

struct Signature {
    const char* name_in_messages;  // e.g. "read_file()"
    const char* const* parameters;
    int parameter_count;
    int required;
};

inline constexpr int kMaxParameters = 4;

// Fills `bound` (borrowed references; null where no value was given) from a
// vectorcall-style argument array. Returns false with TypeError set.
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound) noexcept;

// The same for a tuple of positional arguments and an optional dict of
// keywords. The keywords are read from a copy, taken under the dict's lock,
// which `keywords` keeps: the values bound from it stay alive for as long as
// the caller holds it, whatever happens to the caller's dict meanwhile (a C
// caller may pass a dict that other threads, or the conversions of the
// arguments themselves, change).
bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound,
                PyRef& keywords) noexcept;

// True when an optional parameter has no value (omitted or None).
inline bool is_absent(PyObject* value) noexcept { return value == nullptr || value == Py_None; }

}  // namespace brindxml
