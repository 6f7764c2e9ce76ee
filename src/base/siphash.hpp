// Keyed SipHash-1-3 over a byte string.
#pragma once

#include <cstdint>
#include <string_view>

namespace brindxml {

struct HashKeys {
    uint64_t k0 = 0;
    uint64_t k1 = 0;
};

uint64_t siphash13(HashKeys keys, std::string_view bytes) noexcept;

// Takes the calling thread's current key pair and advances the thread's k0 by
// one, so every map gets its own pair. The thread's first pair is drawn from
// the operating system's random source, or derived from the seed when one is set.
HashKeys take_thread_hash_keys() noexcept;

// From now on, each thread's first key pair derives from `seed` (the same pair
// in every thread), so a program that makes its maps in the same order gets
// the same pairs, and the same map orders, on every run. Threads that already
// hold a pair keep it.
void set_hash_seed(uint64_t seed) noexcept;

// The key pair every thread starts from under `seed`.
HashKeys hash_keys_from_seed(uint64_t seed) noexcept;

}  // namespace brindxml
