#include "base/siphash.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "base/bytes.hpp"
#include "platform/compiler.hpp"
#include "platform/system.hpp"

namespace brindxml {

namespace {

inline uint64_t rotl(uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct SipState {
    uint64_t v0, v1, v2, v3;
    inline void round() noexcept {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
};

inline uint64_t load_le64(const unsigned char* p) noexcept {
    return bytes::load_word(p);  // little-endian targets only
}

std::atomic<bool> seed_set{false};
std::atomic<uint64_t> seed_value{0};

// SplitMix64: spreads consecutive seeds over unrelated key pairs.
uint64_t split_mix(uint64_t& state) noexcept {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

HashKeys draw_random_keys() noexcept {
    HashKeys keys;
    uint64_t buffer[2];
    if (!platform::random_bytes(buffer, sizeof buffer)) {
        // No random source: fall back to clock and thread identity, still varying per run.
        buffer[0] = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        buffer[1] = std::hash<std::thread::id>{}(std::this_thread::get_id()) ^ 0x9e3779b97f4a7c15ULL;
    }
    keys.k0 = buffer[0];
    keys.k1 = buffer[1];
    return keys;
}

}  // namespace

uint64_t siphash13(HashKeys keys, std::string_view bytes) noexcept {
    SipState s{keys.k0 ^ 0x736f6d6570736575ULL, keys.k1 ^ 0x646f72616e646f6dULL,
               keys.k0 ^ 0x6c7967656e657261ULL, keys.k1 ^ 0x7465646279746573ULL};
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t len = bytes.size();
    const size_t whole = len & ~size_t{7};
    for (size_t i = 0; i < whole; i += 8) {
        uint64_t m = load_le64(p + i);
        s.v3 ^= m;
        s.round();
        s.v0 ^= m;
    }
    uint64_t b = static_cast<uint64_t>(len) << 56;
    switch (len & 7) {
        case 7: b |= static_cast<uint64_t>(p[whole + 6]) << 48; [[fallthrough]];
        case 6: b |= static_cast<uint64_t>(p[whole + 5]) << 40; [[fallthrough]];
        case 5: b |= static_cast<uint64_t>(p[whole + 4]) << 32; [[fallthrough]];
        case 4: b |= static_cast<uint64_t>(p[whole + 3]) << 24; [[fallthrough]];
        case 3: b |= static_cast<uint64_t>(p[whole + 2]) << 16; [[fallthrough]];
        case 2: b |= static_cast<uint64_t>(p[whole + 1]) << 8; [[fallthrough]];
        case 1: b |= static_cast<uint64_t>(p[whole]); break;
        default: break;
    }
    s.v3 ^= b;
    s.round();
    s.v0 ^= b;
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

HashKeys hash_keys_from_seed(uint64_t seed) noexcept {
    uint64_t state = seed;
    HashKeys keys;
    keys.k0 = split_mix(state);
    keys.k1 = split_mix(state);
    return keys;
}

void set_hash_seed(uint64_t seed) noexcept {
    seed_value.store(seed, std::memory_order_relaxed);
    seed_set.store(true, std::memory_order_release);
}

HashKeys take_thread_hash_keys() noexcept {
    // Initial-exec: a dynamic thread-local of a loaded module is set up on
    // first use in a thread, by the C library, which aborts the process when
    // that finds no memory.
    BRINDXML_FAST_TLS thread_local bool seeded = false;
    BRINDXML_FAST_TLS thread_local HashKeys current;
    if (!seeded) {
        current = seed_set.load(std::memory_order_acquire)
                      ? hash_keys_from_seed(seed_value.load(std::memory_order_relaxed))
                      : draw_random_keys();
        seeded = true;
    }
    HashKeys taken = current;
    current.k0 += 1;
    return taken;
}

}  // namespace brindxml
