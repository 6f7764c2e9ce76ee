#include "platform/process.hpp"

#include <chrono>
#include <thread>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace brindxml::platform {

void at_fork_child(void (*handler)()) noexcept {
#if defined(_WIN32)
    (void)handler;
#else
    ::pthread_atfork(nullptr, nullptr, handler);
#endif
}

void park_thread_forever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace brindxml::platform
