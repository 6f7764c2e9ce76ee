// What the core asks of the operating system besides files: random bytes for
// hash keys, and the size of physical memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindxml::platform {

// Fills `buffer` from the system's random source. False when there is none
// (the caller then seeds otherwise).
bool random_bytes(void* buffer, size_t size) noexcept;

// Bytes of physical memory, or 0 when unknown.
uint64_t physical_memory() noexcept;

}  // namespace brindxml::platform
