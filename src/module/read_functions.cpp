// read_file(file_path, root_tag) and read_string(xml_string, root_tag).
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "module/module_functions.hpp"
#include "entities/node_from_record.hpp"
#include "read/document_encoding.hpp"
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
    std::optional<RecordTree> tree;
    std::optional<ReadError> read_error;
    std::optional<IoError> io_error;
    // A file whose first bytes name another encoding than UTF-8: decoded
    // with the thread state held, by Python's codecs.
    std::optional<FileBytes> undecoded;
    DocumentEncoding encoding;
};

ReadOutcome build_from(SourceRef source, std::string_view root_tag) {
    ReadOutcome outcome;
    Result<RecordTree, ReadError> built = build_tree(source.get(), root_tag);
    if (built) outcome.tree.emplace(std::move(built).value());
    else outcome.read_error.emplace(std::move(built).error());
    return outcome;
    // `source` (the reader's reference) is dropped here, still detached: if it
    // is the last one, the str it holds goes to the deferred release queue.
}

ReadOutcome build_from_utf8(FileBytes file, std::string_view root_tag) {
    Result<SourceRef, IoError> source = utf8_source(std::move(file));
    if (source) return build_from(std::move(source).value(), root_tag);
    ReadOutcome failed;
    failed.io_error.emplace(source.error());
    return failed;
}

PyObject* finish(ReadOutcome& outcome, PyObject* file_path) {
    if (outcome.io_error) return raise_io_error(*outcome.io_error, file_path);
    if (outcome.read_error) return raise_message(PyExc_ValueError, outcome.read_error->display());
    return node_from_records(std::move(*outcome.tree));
}

// The codec's own name for `name` (codecs.lookup(name).name): a new
// reference, or null with LookupError set for a name no codec knows.
PyRef codec_name(std::string_view name) {
    PyRef text = PyRef::steal(PyUnicode_DecodeLatin1(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
    if (!text) return {};
    PyRef codecs = PyRef::steal(PyImport_ImportModule("codecs"));
    PyRef lookup = codecs ? PyRef::steal(PyObject_GetAttrString(codecs.get(), "lookup")) : PyRef();
    PyRef info = lookup ? PyRef::steal(PyObject_CallOneArg(lookup.get(), text.get())) : PyRef();
    PyRef canonical = info ? PyRef::steal(PyObject_GetAttrString(info.get(), "name")) : PyRef();
    if (canonical && !PyUnicode_Check(canonical.get())) {
        raise_type_mismatch(canonical.get(), "str");
        return {};
    }
    return canonical;
}

bool is_wide_unicode(const char* canonical) noexcept {
    for (const char* wide : {"utf-16", "utf-16-le", "utf-16-be", "utf-32", "utf-32-le", "utf-32-be"})
        if (std::strcmp(canonical, wide) == 0) return true;
    return false;
}

// A file in another encoding than UTF-8 (outcome.undecoded): decoded with its
// codec, then read as read_string reads a str. A declared name that is
// another spelling of UTF-8 is read as UTF-8 after all.
PyObject* read_decoded(ReadOutcome& outcome, PyObject* file_path, const std::string& root_tag) {
    FileBytes file = std::move(*outcome.undecoded);
    const DocumentEncoding encoding = outcome.encoding;
    PyRef canonical = codec_name(encoding.name);
    if (!canonical) return nullptr;
    const char* codec = PyUnicode_AsUTF8(canonical.get());
    if (!codec) return nullptr;
    if (std::strcmp(codec, "utf-8") == 0) {
        ReadOutcome read = run_released([&] { return build_from_utf8(std::move(file), root_tag); });
        return finish(read, file_path);
    }
    // A declaration readable as ASCII cannot name a 16- or 32-bit encoding.
    if (encoding.source == DocumentEncoding::Source::Declaration && is_wide_unicode(codec)) {
        PyErr_Format(PyExc_ValueError, "the document declares encoding '%.100s' but is not written in it", codec);
        return nullptr;
    }
    const std::string_view bytes = file.view();
    PyRef text = PyRef::steal(PyUnicode_Decode(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), codec, "strict"));
    if (!text) return nullptr;
    file = FileBytes{};  // the bytes are no longer needed
    auto document = str_bytes(text.get());
    if (!document) return nullptr;
    SourceRef source(SourceText::python_backed(text.get(), document->data(), document->size()));
    text.release();  // now held by the source text
    ReadOutcome read = run_released([&] { return build_from(std::move(source), root_tag); });
    return finish(read, file_path);
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
            Result<FileBytes, IoError> file = read_file_bytes(path);
            if (!file) {
                ReadOutcome failed;
                failed.io_error.emplace(file.error());
                return failed;
            }
            const DocumentEncoding encoding = detect_document_encoding(file.value().view());
            if (encoding.is_utf8()) return build_from_utf8(std::move(file).value(), root_tag);
            ReadOutcome other;
            other.encoding = encoding;
            other.undecoded.emplace(std::move(file).value());
            return other;
        });
        if (outcome.undecoded) return read_decoded(outcome, bound[0], root_tag);
        return finish(outcome, bound[0]);
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
        return finish(outcome, nullptr);
    });
}

}  // namespace brindxml
