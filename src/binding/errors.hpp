// Raising the module's argument and operating-system errors.
#pragma once

#include <Python.h>

#include <string>

#include "base/io_error.hpp"

namespace brindxml {

// TypeError "'{qualname}' object is not an instance of '{target}'", or
// "'None' is not an instance of '{target}'" for None. Returns false.
bool raise_type_mismatch(PyObject* object, const char* target) noexcept;

// Adds the note "while processing '{parameter}'" to the pending exception;
// a failure to add it is discarded. Returns false.
bool add_parameter_note(const char* parameter) noexcept;

// The exception type an error number maps to (FileNotFoundError, ...).
PyObject* os_error_type(int error_number) noexcept;
// "{strerror} (os error {n})".
std::string os_error_message(int error_number);
// Raises an IoError as the mapped exception with exactly one argument, its
// message. An OSError also gets the attributes `errno` (the error number; for
// the system's own failures the nearest one: EILSEQ for bytes that are not
// UTF-8, EINVAL for a bad file name, EIO for a write that wrote nothing),
// `strerror` (the message) and, when `filename` is given (borrowed), `filename`;
// bytes that are not UTF-8 add `byte_offset`, the offset of the first bad byte.
// Returns null.
PyObject* raise_io_error(const IoError& error, PyObject* filename = nullptr) noexcept;

// Raises `type` with a message given as UTF-8 bytes. Returns null.
PyObject* raise_message(PyObject* type, const std::string& message) noexcept;

}  // namespace brindxml
