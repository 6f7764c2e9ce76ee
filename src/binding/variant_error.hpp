// The four-variant TypeError of the dictionary-form conversion, built as the
// import unwinds its stack (entities/dict_import.cpp).
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "binding/py_ref.hpp"

namespace brindxml {

// The exception raised last, taken out of the thread state.
PyRef take_raised() noexcept;

// The type mismatch error of `object` for the type named `target`, not raised.
PyRef type_mismatch(PyObject* object, const char* target) noexcept;

// Whether `exception` is a PanicException (a dict changed while it was read).
bool is_panic(PyObject* exception) noexcept;

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

// Raises `failure`: its leaf unchanged, or the four-variant TypeError. False.
bool raise_failure(Failure& failure);

// `value` fitted no variant: `failure` holds what the Vec attempt failed
// with and becomes the four-variant error. `string_error` is the String
// attempt's error when it was not a type mismatch (a str that cannot be
// encoded); `map_error` is the Map attempt's error when `value` was a dict.
// The value is never None here, so NullableString failed exactly as String did.
void fail_all_variants(Failure& failure, PyObject* value, PyRef string_error, PyRef map_error);

// A failure that is the one exception `error`.
Failure leaf_failure(PyRef error);

}  // namespace brindxml
