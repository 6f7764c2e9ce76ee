#include "binding/entry.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "binding/once_cell.hpp"
#include "platform/compiler.hpp"
#include "storage/source_text.hpp"

namespace brindxml {

namespace {

// Read on every entry. The initial-exec model makes it a plain
// thread-pointer access instead of a call into the dynamic loader; it costs
// a few bytes of the static TLS space the loader keeps for loaded modules.
BRINDXML_FAST_TLS thread_local int attachment_depth = 0;

struct DeferredReleaseQueue {
    std::mutex mutex;
    std::vector<PyObject*> objects;
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
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        taken.swap(queue.objects);
        queue.non_empty.store(false, std::memory_order_release);
    }
    for (PyObject* object : taken) Py_DECREF(object);
}

void release_source_owner(void* owner) noexcept { release_or_defer(static_cast<PyObject*>(owner)); }

}  // namespace

EntryGuard::EntryGuard() noexcept {
    ++attachment_depth;
    drain_deferred_releases();
}

EntryGuard::~EntryGuard() { --attachment_depth; }

ReleasedThreadState::ReleasedThreadState() noexcept : saved_depth_(attachment_depth) {
    attachment_depth = 0;
    state_ = PyEval_SaveThread();
}

ReleasedThreadState::~ReleasedThreadState() {
    PyEval_RestoreThread(state_);
    attachment_depth = saved_depth_;
    // What was dropped while detached (a failed read's document, say) is
    // released now rather than at some later entry, which may never come.
    if (attachment_depth > 0) drain_deferred_releases();
}

void release_or_defer(PyObject* object) noexcept {
    if (attachment_depth > 0) {
        Py_DECREF(object);
        return;
    }
    DeferredReleaseQueue& queue = deferred_queue();
    try {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.objects.push_back(object);
        queue.non_empty.store(true, std::memory_order_release);
    } catch (...) {
        // Out of memory for the queue entry: leaking one reference beats
        // touching the object without a thread state.
    }
}

void install_source_release_hook() noexcept { SourceText::set_owner_release(&release_source_owner); }

PyObject* panic_exception_type() noexcept {
    static OnceCell cell;
    return cell.get_or_init([] {
        return PyErr_NewExceptionWithDoc(
            "brindxml.PanicException",
            "Raised when an internal invariant of brindxml fails; this is a bug in brindxml.",
            PyExc_BaseException, nullptr);
    });
}

PyObject* raise_panic(const char* message) noexcept {
    thread_local bool panicking = false;
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
