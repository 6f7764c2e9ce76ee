#include "binding/errors.hpp"

#include <cerrno>
#include <cstring>

#include "binding/py_ref.hpp"
#include "platform/file_io.hpp"

namespace brindxml {

bool raise_type_mismatch(PyObject* object, const char* target) noexcept {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        return false;
    }
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!qualname) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
                     "<failed to extract type name>", target);
        return false;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), target);
    return false;
}

bool add_parameter_note(const char* parameter) noexcept {
    PyObject* exception = PyErr_GetRaisedException();
    if (!exception) return false;
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    if (note) {
        PyRef name = PyRef::steal(PyUnicode_InternFromString("add_note"));
        PyObject* args[] = {exception, note.get()};
        PyRef result = name ? PyRef::steal(PyObject_VectorcallMethod(
                                  name.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr))
                            : PyRef();
    }
    PyErr_Clear();  // a failure to attach the note is discarded
    PyErr_SetRaisedException(exception);
    return false;
}

PyObject* os_error_type(int error_number) noexcept {
    switch (error_number) {
        case ENOENT: return PyExc_FileNotFoundError;
        case EPERM:
        case EACCES: return PyExc_PermissionError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case EPIPE: return PyExc_BrokenPipeError;
        case EEXIST: return PyExc_FileExistsError;
        case EAGAIN: return PyExc_BlockingIOError;
        case ENOTDIR: return PyExc_NotADirectoryError;
        case EISDIR: return PyExc_IsADirectoryError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case EINTR: return PyExc_InterruptedError;
        case ENOMEM: return PyExc_MemoryError;
        default: return PyExc_OSError;
    }
}

std::string os_error_message(int error_number) {
    return platform::error_description(error_number) + " (os error " + std::to_string(error_number) + ")";
}

PyObject* raise_message(PyObject* type, const std::string& message) noexcept {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

namespace {

int error_number_of(const IoError& error) noexcept {
    switch (error.kind) {
        case IoError::Kind::Os: return error.number;
        case IoError::Kind::InvalidInput: return EINVAL;
        case IoError::Kind::InvalidData: return EILSEQ;
        case IoError::Kind::WriteZero: return EIO;
    }
    return EIO;
}

bool set_attribute(PyObject* object, const char* name, PyObject* value) noexcept {
    return value && PyObject_SetAttrString(object, name, value) == 0;
}

}  // namespace

PyObject* raise_io_error(const IoError& error, PyObject* filename) noexcept {
    try {
        const bool from_os = error.kind == IoError::Kind::Os;
        PyObject* type = from_os ? os_error_type(error.number) : PyExc_OSError;
        const std::string message = from_os ? os_error_message(error.number)
                                            : std::string(error.message ? error.message : "unknown error");
        PyRef text = PyRef::steal(
            PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        if (!text) return nullptr;
        // ENOMEM maps to MemoryError, which is no OSError: it keeps its message only.
        if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type), reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
            PyErr_SetObject(type, text.get());
            return nullptr;
        }
        // The message stays the only argument; the attributes are set after
        // construction (OSError's constructor would otherwise take them apart).
        PyRef exception = PyRef::steal(PyObject_CallOneArg(type, text.get()));
        if (!exception) return nullptr;
        PyRef number = PyRef::steal(PyLong_FromLong(error_number_of(error)));
        if (!set_attribute(exception.get(), "errno", number.get()) ||
            !set_attribute(exception.get(), "strerror", text.get()) ||
            (filename && !set_attribute(exception.get(), "filename", filename)))
            return nullptr;
        if (error.kind == IoError::Kind::InvalidData) {
            PyRef offset = PyRef::steal(PyLong_FromUnsignedLongLong(error.offset));
            if (!set_attribute(exception.get(), "byte_offset", offset.get())) return nullptr;
        }
        PyErr_SetRaisedException(exception.release());
        return nullptr;
    } catch (...) {
        return PyErr_NoMemory();
    }
}

}  // namespace brindxml
