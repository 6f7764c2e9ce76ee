// A process-wide object created once, on first use. A thread that must wait for
// another thread's initialisation releases its thread state while it waits, so
// the initialising thread can run Python code (an import, for example).
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <new>

#include "binding/entry.hpp"

namespace brindxml {

class OnceCell;

// Every cell made so far, for the fork handler (reset_once_cell_locks).
inline std::atomic<OnceCell*> once_cells{nullptr};

class OnceCell {
public:
    OnceCell() noexcept {
        next_ = once_cells.load(std::memory_order_relaxed);
        while (!once_cells.compare_exchange_weak(next_, this, std::memory_order_release, std::memory_order_relaxed)) {}
    }
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    // Returns a borrowed reference kept for the life of the process, or null
    // with the initialiser's error set (a later call tries again).
    template <class Init>
    PyObject* get_or_init(Init&& init) noexcept {
        if (PyObject* ready = value_.load(std::memory_order_acquire)) return ready;
        // The lock is only ever taken attached; a thread that finds it taken
        // waits detached for it to be given back, then tries again.
        while (!mutex_.try_lock()) {
            if (Py_IsFinalizing()) {
                mutex_.lock();  // the finalizing thread (see ReleasedThreadState) cannot detach
                break;
            }
            PyThreadState* state = PyEval_SaveThread();
            { std::lock_guard<std::mutex> wait(mutex_); }
            reattach_thread(state);
        }
        PyObject* value = value_.load(std::memory_order_acquire);
        if (!value) {
            value = init();
            if (value) value_.store(value, std::memory_order_release);
        }
        mutex_.unlock();
        return value;
    }

    // In the child of a fork: the locks of every cell, made anew (a thread
    // other than the forking one may have held one).
    friend void reset_once_cell_locks() noexcept {
        for (OnceCell* cell = once_cells.load(std::memory_order_acquire); cell; cell = cell->next_)
            new (&cell->mutex_) std::mutex();
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
    OnceCell* next_ = nullptr;
};

void reset_once_cell_locks() noexcept;

}  // namespace brindxml
