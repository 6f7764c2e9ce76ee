// read_file(file_path, root_tag) and read_string(xml_string, root_tag).
#include <optional>
#include <string>
#include <utility>

#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "module/module_functions.hpp"
#include "entities/node_from_record.hpp"
#include "read/file_source.hpp"
#include "read/tree_builder.hpp"

namespace brindxml {

namespace {

constexpr const char* kReadFileParameters[] = {"file_path", "root_tag"};
constexpr Signature kReadFile = {"read_file()", kReadFileParameters, 2, 2};
constexpr const char* kReadStringParameters[] = {"xml_string", "root_tag"};
constexpr Signature kReadString = {"read_string()", kReadStringParameters, 2, 2};

// What a read produced while the thread state was released.
struct ReadOutcome {
    std::optional<ElementRecord> tree;
    std::optional<ReadError> read_error;
    std::optional<IoError> io_error;
};

ReadOutcome build_from(SourceRef source, std::string_view root_tag) {
    ReadOutcome outcome;
    Result<ElementRecord, ReadError> built = build_tree(source.get(), root_tag);
    if (built) outcome.tree.emplace(std::move(built).value());
    else outcome.read_error.emplace(std::move(built).error());
    return outcome;
    // `source` (the reader's reference) is dropped here, still detached: if it
    // is the last one, the str it holds goes to the deferred release queue.
}

PyObject* finish(ReadOutcome& outcome) {
    if (outcome.io_error) return raise_io_error(*outcome.io_error);
    if (outcome.read_error) return raise_message(PyExc_ValueError, outcome.read_error->display());
    return node_from_record(std::move(*outcome.tree));
}

}  // namespace

PyObject* read_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_fastcall(kReadFile, args, nargs, kwnames, bound)) return nullptr;
        std::string path, root_tag;
        if (!convert_str(bound[0], path)) return add_parameter_note("file_path"), nullptr;
        if (!convert_str(bound[1], root_tag)) return add_parameter_note("root_tag"), nullptr;
        ReadOutcome outcome = run_released([&] {
            Result<SourceRef, IoError> source = read_source_file(path);
            if (source) return build_from(std::move(source).value(), root_tag);
            ReadOutcome failed;
            failed.io_error.emplace(source.error());
            return failed;
        });
        return finish(outcome);
    });
}

PyObject* read_string_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_fastcall(kReadString, args, nargs, kwnames, bound)) return nullptr;
        auto document = str_bytes(bound[0]);
        if (!document) return add_parameter_note("xml_string"), nullptr;
        std::string root_tag;
        if (!convert_str(bound[1], root_tag)) return add_parameter_note("root_tag"), nullptr;
        // The document is not copied: the text holds a reference to the str,
        // handed over only once the text exists (making it can throw).
        PyRef owner = PyRef::borrow(bound[0]);
        SourceRef source(SourceText::python_backed(owner.get(), document->data(), document->size()));
        owner.release();
        ReadOutcome outcome = run_released([&] { return build_from(std::move(source), root_tag); });
        return finish(outcome);
    });
}

}  // namespace brindxml
