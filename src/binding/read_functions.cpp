// read_file(file_path, root_tag) and read_string(xml_string, root_tag).
#include <string>

#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "binding/module_functions.hpp"

namespace brindxml {

namespace {

constexpr const char* kReadFileParameters[] = {"file_path", "root_tag"};
constexpr Signature kReadFile = {"read_file()", kReadFileParameters, 2, 2};
constexpr const char* kReadStringParameters[] = {"xml_string", "root_tag"};
constexpr Signature kReadString = {"read_string()", kReadStringParameters, 2, 2};

}  // namespace

PyObject* read_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_fastcall(kReadFile, args, nargs, kwnames, bound)) return nullptr;
        std::string path, root_tag;
        if (!convert_str(bound[0], path)) return add_parameter_note("file_path"), nullptr;
        if (!convert_str(bound[1], root_tag)) return add_parameter_note("root_tag"), nullptr;
        PyErr_SetString(PyExc_NotImplementedError, "read_file is not available yet");
        return nullptr;
    });
}

PyObject* read_string_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_fastcall(kReadString, args, nargs, kwnames, bound)) return nullptr;
        if (!str_bytes(bound[0])) return add_parameter_note("xml_string"), nullptr;
        std::string root_tag;
        if (!convert_str(bound[1], root_tag)) return add_parameter_note("root_tag"), nullptr;
        PyErr_SetString(PyExc_NotImplementedError, "read_string is not available yet");
        return nullptr;
    });
}

}  // namespace brindxml
