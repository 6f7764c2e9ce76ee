// How every entry into the module runs: the thread's attachment depth, the
// deferred release queue, releasing the thread state around plain-data work,
// and the internal-error exception.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace brindxml {

// Marks the thread as attached for the life of the guard and performs the
// releases that were deferred while some thread ran detached.
class EntryGuard {
public:
    EntryGuard() noexcept;
    ~EntryGuard();
    EntryGuard(const EntryGuard&) = delete;
    EntryGuard& operator=(const EntryGuard&) = delete;
};

// Releases the thread state for its lifetime; while released, Python
// references dropped by the core go to the deferred release queue, which is
// emptied when the thread state is restored.
class ReleasedThreadState {
public:
    ReleasedThreadState() noexcept;
    ~ReleasedThreadState();
    ReleasedThreadState(const ReleasedThreadState&) = delete;
    ReleasedThreadState& operator=(const ReleasedThreadState&) = delete;

private:
    PyThreadState* state_;
    int saved_depth_;
};

// Releases a Python reference now when the thread is attached, else queues it.
void release_or_defer(PyObject* object) noexcept;

// Connects the core's SourceText release to release_or_defer.
void install_source_release_hook() noexcept;

// The internal-error exception type (a BaseException subclass); null with an
// error set if it cannot be created.
PyObject* panic_exception_type() noexcept;
// Raises PanicException with `message`; returns null for convenience.
PyObject* raise_panic(const char* message) noexcept;

// Runs `body` (returning a new reference or null with an error set), turning
// C++ exceptions that escape the core into Python exceptions.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unexpected internal failure");
    }
}

// Runs `body` (plain-data work that touches no Python object) with the thread
// state released and returns what it returns. A C++ exception escaping it
// unwinds through the release, so the thread state is back before the
// enclosing `guarded` maps it like any other failure.
template <class Body>
decltype(auto) run_released(Body&& body) {
    ReleasedThreadState released;
    return body();
}

}  // namespace brindxml
