// What a thread asks of the process: to be told when the process forks, and
// to stop for good without ending.
#pragma once

namespace brindxml::platform {

// Has `handler` run in the child after every fork (before the interpreter's
// own handlers); the handlers run in the order they were installed. A child
// of fork has only the forking thread, so locks that other threads held
// there are re-created by such a handler. No effect where there is no fork.
void at_fork_child(void (*handler)()) noexcept;

// Blocks the calling thread until the process ends, touching nothing.
[[noreturn]] void park_thread_forever() noexcept;

}  // namespace brindxml::platform
