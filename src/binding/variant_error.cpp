// The four-variant TypeError of the dictionary-form conversion: a value that
// fits none of String, Vec, NullableString and Map is reported with the
// reason each variant refused it, nested once per Vec it sits in.
#include "binding/variant_error.hpp"

#include <string_view>
#include <utility>

#include "binding/entry.hpp"
#include "binding/errors.hpp"

namespace brindxml {

namespace {

constexpr std::string_view kEnumHeader = "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')";

// The UTF-8 text of a str; lone surrogates become U+FFFD, as a lossy decode would show them.
void append_lossy(std::string& out, PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        out.append(data, static_cast<size_t>(size));
        return;
    }
    PyErr_Clear();
    PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    PyRef decoded = encoded ? PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded.get()),
                                                                PyBytes_GET_SIZE(encoded.get()), "replace"))
                            : PyRef();
    const char* data = decoded ? PyUnicode_AsUTF8AndSize(decoded.get(), &size) : nullptr;
    if (!data) {
        PyErr_Clear();
        return;
    }
    out.append(data, static_cast<size_t>(size));
}

// "{qualified type name}: {str(exception)}".
void append_display(std::string& out, PyObject* exception) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exception)));
    if (qualname) {
        append_lossy(out, qualname.get());
    } else {
        PyErr_Clear();
        out += "<failed to extract type name>";
    }
    out += ": ";
    PyRef text = PyRef::steal(PyObject_Str(exception));
    if (text) {
        append_lossy(out, text.get());
    } else {
        PyErr_Clear();
        out += "<exception str() failed>";
    }
}

// The display of an exception and, after ", caused by ", of each of its causes in turn.
void append_description(std::string& out, PyObject* exception) {
    std::vector<PyRef> seen;
    PyRef current = PyRef::borrow(exception);
    while (current) {
        for (const PyRef& earlier : seen)
            if (earlier.get() == current.get()) return;  // a cycle of causes ends the chain
        if (!seen.empty()) out += ", caused by ";
        append_display(out, current.get());
        PyRef cause = PyRef::steal(PyException_GetCause(current.get()));
        seen.push_back(std::move(current));
        current = std::move(cause);
    }
}

// One variant attempt's error as it reads after being wrapped in
// "failed to extract field HashmapTypes::{variant}.0" with the error as its cause.
void append_attempt(std::string& out, const char* variant, PyObject* error) {
    out += "TypeError: failed to extract field HashmapTypes::";
    out += variant;
    out += ".0, caused by ";
    append_description(out, error);
}

}  // namespace

PyRef take_raised() noexcept { return PyRef::steal(PyErr_GetRaisedException()); }

PyRef type_mismatch(PyObject* object, const char* target) noexcept {
    raise_type_mismatch(object, target);
    return take_raised();
}

bool is_panic(PyObject* exception) noexcept {
    PyObject* panic = panic_exception_type();
    if (!panic) {
        PyErr_Clear();
        return false;
    }
    return PyErr_GivenExceptionMatches(exception, panic) != 0;
}

bool raise_failure(Failure& failure) {
    if (failure.leaf) {
        PyErr_SetRaisedException(failure.leaf.release());
        return false;
    }
    size_t size = failure.core.size();
    for (const std::string& head : failure.heads) size += head.size();
    for (const std::string& tail : failure.tails) size += tail.size();
    std::string message;
    message.reserve(size);
    for (auto head = failure.heads.rbegin(); head != failure.heads.rend(); ++head) message += *head;
    message += failure.core;
    for (const std::string& tail : failure.tails) message += tail;
    raise_message(PyExc_TypeError, message);
    return false;
}

void fail_all_variants(Failure& failure, PyObject* value, PyRef string_error, PyRef map_error) {
    if (!string_error) string_error = type_mismatch(value, "str");
    if (!map_error) map_error = type_mismatch(value, "dict");
    std::string head(kEnumHeader);
    head += "\n- variant String (String): ";
    append_attempt(head, "String", string_error.get());
    head += "\n- variant Vec (Vec): TypeError: failed to extract field HashmapTypes::Vec.0, caused by ";
    std::string tail = "\n- variant NullableString (NullableString): ";
    append_attempt(tail, "NullableString", string_error.get());
    tail += "\n- variant Map (Map): ";
    append_attempt(tail, "Map", map_error.get());
    if (failure.leaf) {
        append_description(failure.core, failure.leaf.get());
        failure.leaf = PyRef();
    } else {
        head += "TypeError: ";  // the nested four-variant error has no cause of its own
    }
    failure.heads.push_back(std::move(head));
    failure.tails.push_back(std::move(tail));
}

Failure leaf_failure(PyRef error) {
    Failure failure;
    failure.leaf = std::move(error);
    return failure;
}

}  // namespace brindxml
