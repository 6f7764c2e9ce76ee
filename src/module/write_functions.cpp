// write_string(node, indent=None, default_xml_def=None) and
// write_file(node, file_path, indent=None, default_xml_def=None).
#include <optional>
#include <string>
#include <utility>

#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "entities/node_object.hpp"
#include "entities/snapshot.hpp"
#include "module/module_functions.hpp"
#include "write/flat_snapshot.hpp"
#include "write/flat_writer.hpp"
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

bool check_is_node(PyObject* object) {
    if (!is_node(object)) return raise_type_mismatch(object, "Node"), add_parameter_note("node");
    return true;
}

// ValueError for the first name of the tree that cannot be written, with its
// place: "cannot write element name '1 bad' at /r/a/*[2]: a name must ...".
PyObject* raise_unwritable_name(const FlatSnapshot& snapshot) {
    const UnwritableName& bad = *snapshot.unwritable_name();
    const bool key = bad.place == UnwritableName::Place::AttributeKey;
    std::string where;
    if (key) where = "of the element at " + snapshot.element_path(bad.element, true);
    else if (bad.element == 0) where = "of the root element";
    else where = "at " + snapshot.element_path(bad.element, false);
    // Long names are shown by their start.
    constexpr Py_ssize_t kShown = 60;
    PyRef name = PyRef::steal(
        PyUnicode_DecodeUTF8(bad.name.data(), static_cast<Py_ssize_t>(bad.name.size()), "replace"));
    if (!name) return nullptr;
    const bool cut = PyUnicode_GET_LENGTH(name.get()) > kShown;
    if (cut) {
        name = PyRef::steal(PyUnicode_Substring(name.get(), 0, kShown));
        if (!name) return nullptr;
    }
    PyErr_Format(PyExc_ValueError,
                 "cannot write %s %R%s %s: a name must not be empty or contain white space, <, >, /, =, quotes, & "
                 "or control characters",
                 key ? "attribute key" : "element name", name.get(), cut ? "..." : "", where.c_str());
    return nullptr;
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
        if (!check_is_node(bound[0]) || !convert_options(bound[1], bound[2], options)) return nullptr;
        PyRef node = PyRef::borrow(bound[0]);
        FlatSnapshot snapshot;
        snapshot.start(options.indent, options.declaration, Measure::Exact);
        snapshot_tree(node.get(), snapshot);
        if (snapshot.unwritable_name()) return raise_unwritable_name(snapshot);
        // The snapshot measured the document: the str is made at its final
        // length and kind now, and written in place once the thread state is
        // released. Until it is returned, this call holds its only reference
        // and no other thread can reach it, so writing its characters without
        // the thread state touches nothing another thread could see.
        const OutputSize size = snapshot.output_size();
        if (size.too_large || size.characters > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
        PyRef result = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(size.characters), size.max_char));
        if (!result) return nullptr;
        void* characters = PyUnicode_DATA(result.get());
        const unsigned char_size = static_cast<unsigned>(PyUnicode_KIND(result.get()));
        const bool filled = run_released([&] {
            return write_flat_chars(snapshot, options.indent, options.declaration, characters, char_size,
                                    size.max_char == 0x7F, size.characters);
        });
        if (!filled) return raise_panic("invariant: the XML writer only emits valid UTF-8");
        return result.release();
    });
}

PyObject* write_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[4];
        if (!bind_fastcall(kWriteFile, args, nargs, kwnames, bound)) return nullptr;
        if (!check_is_node(bound[0])) return nullptr;
        std::string path;
        if (!convert_str(bound[1], path)) return add_parameter_note("file_path"), nullptr;
        WriteOptions options;
        if (!convert_options(bound[2], bound[3], options)) return nullptr;
        PyRef node = PyRef::borrow(bound[0]);
        FlatSnapshot snapshot;
        snapshot.start(options.indent, options.declaration, Measure::Bound);
        snapshot_tree(node.get(), snapshot);
        if (snapshot.unwritable_name()) return raise_unwritable_name(snapshot);
        // The document is known to fit (in the file-size limit, on the file
        // system) before the file is created or truncated.
        const std::optional<IoError> error = run_released([&]() -> std::optional<IoError> {
            if (std::optional<IoError> no_room = check_room_for(path, snapshot)) return no_room;
            return write_xml_file(path, snapshot, options.indent, options.declaration);
        });
        if (error) return raise_io_error(*error, bound[1]);
        Py_RETURN_NONE;
    });
}

}  // namespace brindxml
