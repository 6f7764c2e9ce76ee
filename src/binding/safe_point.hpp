// Safe points for long loops that run with the thread state attached.
//
// A free-threaded interpreter stops the world (for a garbage collection, for
// example) only once every attached thread has paused or detached; a loop over
// a large tree that never reaches such a point stalls every other thread until
// it ends. Such loops call SafePoint::tick() once per node: every
// kSafePointInterval nodes it detaches and re-attaches the thread state, through
// ReleasedThreadState, so the attachment depth and the deferred release queue
// keep their rules (releases made meanwhile are queued and drained on re-attach).
//
// Detaching is safe only where the loop holds what it uses: its root by a
// strong reference held for the whole call, its nodes through their immutable
// parents, its own buffers in plain memory, and no borrowed reference that
// another thread could end. A loop calls tick() only between nodes, with no
// Python error set. Re-attaching can run finalizers of queued objects, which
// may re-enter the module on this thread; the loops that tick keep all of
// their state in their own frames.
//
// A build with the global interpreter lock has no stop-the-world pause of this
// kind (the lock is handed over at the interpreter's own points), so there
// tick() is empty and costs nothing.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/entry.hpp"

namespace brindxml {

// Nodes between safe points: a pause waits for at most this many nodes of work
// (tens to hundreds of microseconds), and the detach and re-attach, a few
// hundred nanoseconds, is a negligible share of it.
inline constexpr uint32_t kSafePointInterval = 4096;

class SafePoint {
public:
#ifdef Py_GIL_DISABLED
    void tick() {
        if (--left_ == 0) pause();
    }

private:
    void pause() {
        left_ = kSafePointInterval;
        ReleasedThreadState released;
    }
    uint32_t left_ = kSafePointInterval;
#else
    void tick() noexcept {}
#endif
};

}  // namespace brindxml
