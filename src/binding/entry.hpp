// How every entry into the module runs: the thread's attachment depth, the
// deferred release queue, releasing the thread state around plain-data work,
// and the internal-error exception.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

// The thread-ending unwind of glibc's pthread_exit has its own type in the
// GNU C++ library; elsewhere it is a foreign exception (is_foreign_exception).
#if defined(__GLIBCXX__) && __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define BRINDXML_HAS_FORCED_UNWIND 1
#endif

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
    // Re-attaches (see reattach), unless that was done already.
    ~ReleasedThreadState() { reattach(); }
    ReleasedThreadState(const ReleasedThreadState&) = delete;
    ReleasedThreadState& operator=(const ReleasedThreadState&) = delete;

    // Restores the thread state. It never returns to a finalizing
    // interpreter: a thread that finds the interpreter finalizing, or that
    // the interpreter ends while it waits for its thread state, parks for
    // good, touching no Python object (see reattach_thread).
    void reattach() noexcept;

private:
    PyThreadState* state_;
    int saved_depth_;
};

// PyEval_RestoreThread(state), except that a thread the interpreter would
// end (it is finalizing) parks instead until the process exits. The
// interpreter ends such a thread with a forced unwind (pthread_exit) on some
// versions and parks it on others; an unwind from here would run destructors
// that touch Python objects without a thread state, or reach a noexcept
// frame and terminate the process.
void reattach_thread(PyThreadState* state) noexcept;

// Releases a Python reference now when the thread is attached, else queues it.
void release_or_defer(PyObject* object) noexcept;

// Connects the core's SourceText release to release_or_defer.
void install_source_release_hook() noexcept;

// The internal-error exception type (a BaseException subclass); null with an
// error set if it cannot be created.
PyObject* panic_exception_type() noexcept;
// True inside a `catch (...)` handling an exception not thrown by C++ (the
// unwind that ends a thread, with libc++); false where that cannot be told.
bool is_foreign_exception() noexcept;
// Raises PanicException with `message`; returns null for convenience.
PyObject* raise_panic(const char* message) noexcept;

// An interpreter call that cannot fail but for memory failed: a MemoryError
// stays as it is; any other error is reported (unraisable) and replaced by
// PanicException, as a broken invariant of the interpreter. Returns null.
PyObject* interpreter_call_failed() noexcept;

// Runs `body` (returning a new reference or null with an error set), turning
// C++ exceptions that escape the core into Python exceptions. The forced
// unwind that ends a thread (pthread_exit, from Python code run by `body`)
// is not an error: it goes on, as anything that stops it aborts the process.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    }
#if defined(BRINDXML_HAS_FORCED_UNWIND)
    catch (const abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (...) {
        if (is_foreign_exception()) throw;
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
