#include "binding/entry.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#if __has_include(<cxxabi.h>) && !defined(_MSC_VER)
#include <cxxabi.h>
#endif

#include "binding/once_cell.hpp"
#include "platform/compiler.hpp"
#include "platform/process.hpp"
#include "storage/source_text.hpp"

namespace brindxml {

namespace {

// Read on every entry. The initial-exec model makes it a plain
// thread-pointer access instead of a call into the dynamic loader; it costs
// a few bytes of the static TLS space the loader keeps for loaded modules.
BRINDXML_FAST_TLS thread_local int attachment_depth = 0;

// References dropped by threads while detached. A reference that finds no
// room in `objects` (no memory to grow it) goes to `spare`, a fixed array, so
// that teardown does not depend on an allocation succeeding.
struct DeferredReleaseQueue {
    std::mutex mutex;
    std::vector<PyObject*> objects;
    static constexpr size_t kSpare = 256;
    PyObject* spare[kSpare] = {};
    size_t spare_used = 0;
    std::atomic<bool> non_empty{false};
};

DeferredReleaseQueue& deferred_queue() noexcept {
    // Lives for the process (never destroyed, as threads may still use it at
    // exit), in static storage: making it allocates nothing that could fail.
    alignas(DeferredReleaseQueue) static unsigned char storage[sizeof(DeferredReleaseQueue)];
    static DeferredReleaseQueue* queue = new (storage) DeferredReleaseQueue();
    return *queue;
}

void drain_deferred_releases() noexcept {
    DeferredReleaseQueue& queue = deferred_queue();
    if (!queue.non_empty.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> taken;
    PyObject* spare[DeferredReleaseQueue::kSpare];
    size_t spare_taken = 0;
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        taken.swap(queue.objects);
        spare_taken = std::exchange(queue.spare_used, 0);
        std::copy_n(queue.spare, spare_taken, spare);
        queue.non_empty.store(false, std::memory_order_release);
    }
    for (PyObject* object : taken) Py_DECREF(object);
    for (size_t i = 0; i < spare_taken; ++i) Py_DECREF(spare[i]);
}

// In the child of a fork, only the forking thread runs: a lock another
// thread held at the fork stays held for good unless it is made anew.
void reset_deferred_queue_lock() noexcept { new (&deferred_queue().mutex) std::mutex(); }

void release_source_owner(void* owner) noexcept { release_or_defer(static_cast<PyObject*>(owner)); }

}  // namespace

EntryGuard::EntryGuard() noexcept {
    ++attachment_depth;
    drain_deferred_releases();
}

EntryGuard::~EntryGuard() { --attachment_depth; }

ReleasedThreadState::ReleasedThreadState() noexcept : state_(nullptr), saved_depth_(attachment_depth) {
    // Attached while the interpreter finalizes: this is the finalizing
    // thread (any other would have been stopped on attaching). It keeps its
    // thread state, as it could not take it back.
    if (Py_IsFinalizing()) return;
    attachment_depth = 0;
    state_ = PyEval_SaveThread();
}

void ReleasedThreadState::reattach() noexcept {
    if (!state_) return;
    reattach_thread(std::exchange(state_, nullptr));
    attachment_depth = saved_depth_;
    // What was dropped while detached (a failed read's document, say) is
    // released now rather than at some later entry, which may never come.
    if (attachment_depth > 0) drain_deferred_releases();
}

void reattach_thread(PyThreadState* state) noexcept {
    if (Py_IsFinalizing()) platform::park_thread_forever();
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        // The interpreter ends this thread, having begun to finalize while
        // it waited. The handler never finishes, so the unwind stops here.
        platform::park_thread_forever();
    }
}

void release_or_defer(PyObject* object) noexcept {
    if (attachment_depth > 0) {
        Py_DECREF(object);
        return;
    }
    DeferredReleaseQueue& queue = deferred_queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    try {
        queue.objects.push_back(object);
    } catch (...) {
        // Out of memory for the queue entry: the spare array takes it. Should
        // that be full too, leaking one reference beats touching the object
        // without a thread state.
        if (queue.spare_used < DeferredReleaseQueue::kSpare) queue.spare[queue.spare_used++] = object;
    }
    queue.non_empty.store(true, std::memory_order_release);
}

void install_source_release_hook() noexcept {
    SourceText::set_owner_release(&release_source_owner);
    static std::once_flag fork_handler;
    std::call_once(fork_handler, [] {
        deferred_queue();
        platform::at_fork_child([] {
            reset_deferred_queue_lock();
            reset_once_cell_locks();
        });
    });
}

bool is_foreign_exception() noexcept {
#if __has_include(<cxxabi.h>) && !defined(_MSC_VER)
    return abi::__cxa_current_exception_type() == nullptr;
#else
    return false;
#endif
}

PyObject* panic_exception_type() noexcept {
    static OnceCell cell;
    return cell.get_or_init([] {
        return PyErr_NewExceptionWithDoc(
            "brindxml.PanicException",
            "Raised when an internal invariant of brindxml fails; this is a bug in brindxml.",
            PyExc_BaseException, nullptr);
    });
}

PyObject* interpreter_call_failed() noexcept {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    PyErr_WriteUnraisable(nullptr);
    return raise_panic("Python API call failed");
}

PyObject* raise_panic(const char* message) noexcept {
    BRINDXML_FAST_TLS thread_local bool panicking = false;  // initial-exec: see take_thread_hash_keys
    if (panicking) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    panicking = true;
    PyObject* type = panic_exception_type();
    if (type) PyErr_SetString(type, message);
    panicking = false;
    return nullptr;
}

}  // namespace brindxml
