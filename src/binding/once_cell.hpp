// A process-wide object created once, on first use. A thread that must wait for
// another thread's initialisation releases its thread state while it waits, so
// the initialising thread can run Python code (an import, for example).
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace brindxml {

class OnceCell {
public:
    // Returns a borrowed reference kept for the life of the process, or null
    // with the initialiser's error set (a later call tries again).
    template <class Init>
    PyObject* get_or_init(Init&& init) noexcept {
        if (PyObject* ready = value_.load(std::memory_order_acquire)) return ready;
        PyThreadState* state = PyEval_SaveThread();
        mutex_.lock();
        PyEval_RestoreThread(state);
        PyObject* value = value_.load(std::memory_order_acquire);
        if (!value) {
            value = init();
            if (value) value_.store(value, std::memory_order_release);
        }
        mutex_.unlock();
        return value;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace brindxml
