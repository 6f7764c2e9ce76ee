#include "entities/str_from_utf8.hpp"

#include <cstring>

#include "base/bytes.hpp"

namespace brindxml {

PyObject* str_from_utf8(std::string_view utf8) noexcept { return str_from_checked_utf8(utf8, bytes::is_ascii(utf8)); }

PyObject* str_from_checked_utf8(std::string_view utf8, bool ascii) noexcept {
    const auto size = static_cast<Py_ssize_t>(utf8.size());
    if (ascii) {
        PyObject* text = PyUnicode_New(size, 127);
        if (text && size) std::memcpy(PyUnicode_DATA(text), utf8.data(), utf8.size());
        return text;
    }
    return PyUnicode_DecodeUTF8(utf8.data(), size, "strict");
}

}  // namespace brindxml
