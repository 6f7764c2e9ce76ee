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
// keywords. A value bound from the dict is also held in `held` (one slot per
// parameter), a strong reference taken under the dict's lock: it stays alive
// whatever happens to the dict meanwhile (a C caller may share it with other
// threads, or with the code that the conversions of the arguments run).
bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound,
                PyRef* held) noexcept;

// True when an optional parameter has no value (omitted or None).
inline bool is_absent(PyObject* value) noexcept { return value == nullptr || value == Py_None; }

}  // namespace brindxml
