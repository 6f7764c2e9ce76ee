#include <cstring>

#include "entities/node_object.hpp"

namespace brindxml {

namespace {

bool is_ascii(const char* data, size_t size) noexcept {
    size_t i = 0;
    uint64_t bits = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        bits |= word;
    }
    for (; i < size; ++i) bits |= static_cast<unsigned char>(data[i]);
    return (bits & 0x8080808080808080ULL) == 0;
}

}  // namespace

PyObject* str_from_utf8(std::string_view bytes) noexcept {
    return str_from_checked_utf8(bytes, is_ascii(bytes.data(), bytes.size()));
}

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
