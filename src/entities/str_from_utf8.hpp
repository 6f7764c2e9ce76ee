// Making a str from text that is already known to be valid UTF-8, as every
// name, text and attribute of a node is.
#pragma once

#include <Python.h>

#include <string_view>

#include "storage/node_string.hpp"

namespace brindxml {

// A new str holding `utf8`, which is valid UTF-8 (a new reference, or null
// with an error set). ASCII text, the common case for names and values, is
// copied straight into a compact str without going through the decoder.
PyObject* str_from_utf8(std::string_view utf8) noexcept;
// The same for bytes already known to be valid UTF-8 and known to be ASCII
// or not, so that a large buffer is not scanned again.
PyObject* str_from_checked_utf8(std::string_view utf8, bool ascii) noexcept;

// A new str holding a node string.
inline PyObject* to_py_str(const NodeString& s) noexcept { return str_from_utf8(s.bytes()); }

}  // namespace brindxml
