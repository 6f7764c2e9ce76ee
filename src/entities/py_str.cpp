#include <cstring>

#include "base/bytes.hpp"
#include "entities/node_object.hpp"

namespace brindxml {

PyObject* str_from_utf8(std::string_view utf8) noexcept { return str_from_checked_utf8(utf8, bytes::is_ascii(utf8)); }

PyObject* str_from_checked_utf8(std::string_view bytes, bool ascii) noexcept {
    const auto size = static_cast<Py_ssize_t>(bytes.size());
    if (ascii) {
        PyObject* text = PyUnicode_New(size, 127);
        if (text && size) std::memcpy(PyUnicode_DATA(text), bytes.data(), bytes.size());
        return text;
    }
    return PyUnicode_DecodeUTF8(bytes.data(), size, "strict");
}

}  // namespace brindxml
