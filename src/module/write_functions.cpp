// write_string(node, indent=None, default_xml_def=None) and
// write_file(node, file_path, indent=None, default_xml_def=None).
#include <optional>
#include <string>
#include <utility>

#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "module/module_functions.hpp"
#include "entities/node_object.hpp"
#include "entities/snapshot.hpp"
#include "base/utf8.hpp"
#include "write/xml_output.hpp"

namespace brindxml {

namespace {

constexpr const char* kWriteFileParameters[] = {"node", "file_path", "indent", "default_xml_def"};
constexpr Signature kWriteFile = {"write_file()", kWriteFileParameters, 4, 2};
constexpr const char* kWriteStringParameters[] = {"node", "indent", "default_xml_def"};
constexpr Signature kWriteString = {"write_string()", kWriteStringParameters, 3, 1};

struct WriteOptions {
    uint64_t indent = 4;
    bool declaration = true;
};

bool convert_node(PyObject* object) {
    if (!is_node(object)) return raise_type_mismatch(object, "Node"), add_parameter_note("node");
    return true;
}

bool convert_options(PyObject* indent, PyObject* declaration, WriteOptions& options) {
    if (!is_absent(indent)) {
        auto value = convert_u64(indent);
        if (!value) return add_parameter_note("indent");
        options.indent = *value;
    }
    if (!is_absent(declaration)) {
        auto value = convert_bool(declaration);
        if (!value) return add_parameter_note("default_xml_def");
        options.declaration = *value;
    }
    return true;
}

}  // namespace

PyObject* write_string_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[3];
        if (!bind_fastcall(kWriteString, args, nargs, kwnames, bound)) return nullptr;
        WriteOptions options;
        if (!convert_node(bound[0]) || !convert_options(bound[1], bound[2], options)) return nullptr;
        PyRef node = PyRef::borrow(bound[0]);
        ElementRecord snapshot = snapshot_tree(node.get());
        ByteBuffer output;
        bool out_of_memory = false;
        Utf8Kind kind = Utf8Kind::Ascii;
        {
            ReleasedThreadState released;
            try {
                output = write_xml_buffer(std::move(snapshot), options.indent, options.declaration);
                kind = classify_utf8(output.bytes());
            } catch (...) {
                out_of_memory = true;
            }
        }
        if (out_of_memory) return PyErr_NoMemory();
        if (kind == Utf8Kind::Invalid) return raise_panic("invariant: the XML writer only emits valid UTF-8");
        return str_from_checked_utf8(output.bytes(), kind == Utf8Kind::Ascii);
    });
}

PyObject* write_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[4];
        if (!bind_fastcall(kWriteFile, args, nargs, kwnames, bound)) return nullptr;
        if (!convert_node(bound[0])) return nullptr;
        std::string path;
        if (!convert_str(bound[1], path)) return add_parameter_note("file_path"), nullptr;
        WriteOptions options;
        if (!convert_options(bound[2], bound[3], options)) return nullptr;
        PyRef node = PyRef::borrow(bound[0]);
        ElementRecord snapshot = snapshot_tree(node.get());
        std::optional<IoError> error;
        bool out_of_memory = false;
        {
            ReleasedThreadState released;
            try {
                error = write_xml_file(path, std::move(snapshot), options.indent, options.declaration);
            } catch (...) {
                out_of_memory = true;
            }
        }
        if (out_of_memory) return PyErr_NoMemory();
        if (error) return raise_io_error(*error);
        Py_RETURN_NONE;
    });
}

}  // namespace brindxml
