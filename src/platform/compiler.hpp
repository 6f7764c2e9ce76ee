// What differs between compilers and C libraries, in one place: the fast
// thread-local model, keeping a path out of line, prefetch hints, hiding a
// value from the optimiser, and overflow-checked multiplication (without
// 128-bit integers, which 32-bit targets and MSVC lack).
#pragma once

#include <cstddef>  // on glibc this brings <features.h>, which defines __GLIBC__
#include <cstdint>

// Thread-locals read on every call use the initial-exec model where the C
// library is glibc: a plain thread-pointer access instead of a call into the
// dynamic loader. musl refuses to load a module that uses it, and other
// platforms have no such model, so there they keep the default.
#if defined(__GLIBC__) && (defined(__GNUC__) || defined(__clang__))
#define BRINDXML_FAST_TLS [[gnu::tls_model("initial-exec")]]
#else
#define BRINDXML_FAST_TLS
#endif

// Keeps a rarely taken path out of line, so that it does not crowd the
// registers and code of the loop that calls it.
#if defined(__GNUC__) || defined(__clang__)
#define BRINDXML_NOINLINE [[gnu::noinline]]
#else
#define BRINDXML_NOINLINE
#endif

// Keeps a small step of a hot loop inline where it is also called elsewhere.
#if defined(__GNUC__) || defined(__clang__)
#define BRINDXML_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define BRINDXML_ALWAYS_INLINE __forceinline
#else
#define BRINDXML_ALWAYS_INLINE inline
#endif

namespace brindxml::platform {

// A hint that `address` will be read soon; no effect where unsupported.
inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// Makes the optimiser forget what it knows about `value` (its range, for
// example), without generating any instruction.
template <class T>
inline void hide_value(T& value) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    asm("" : "+r"(value));
#else
    (void)value;
#endif
}

// a + b into `sum`; false when it does not fit in 64 bits.
inline bool checked_add(uint64_t a, uint64_t b, uint64_t& sum) noexcept {
    sum = a + b;
    return sum >= a;
}

// a × b into `product`; false when it does not fit in 64 bits.
inline bool checked_multiply(uint64_t a, uint64_t b, uint64_t& product) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return !__builtin_mul_overflow(a, b, &product);
#else
    if (a != 0 && b > UINT64_MAX / a) return false;
    product = a * b;
    return true;
#endif
}

}  // namespace brindxml::platform
