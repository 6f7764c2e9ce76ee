// SearchType: the search criterion class with members Tag, Attr and Text.
#pragma once

#include <Python.h>

#include <cstdint>

namespace brindxml {

enum class SearchCriterion : uint8_t { Tag = 0, Attr = 1, Text = 2 };

struct SearchTypeObject {
    PyObject_HEAD
    uint8_t value;
};

// The process-wide SearchType type (borrowed); null with an error set on failure.
PyTypeObject* search_type_type() noexcept;

}  // namespace brindxml
