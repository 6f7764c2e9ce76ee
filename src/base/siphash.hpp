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
// the operating system's random source.
HashKeys take_thread_hash_keys() noexcept;

}  // namespace brindxml
