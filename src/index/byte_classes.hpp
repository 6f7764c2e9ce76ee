// Byte classification for the bitmap scanner: for each 64-byte block of a
// document, one bitmap per class of byte the index rules look for (`<`, `>`,
// `"`, `'` and the bytes that may end a name), bit i standing for byte i of
// the block. The same bitmaps come from
// one of several code paths: the portable one, eight bytes per step in a
// 64-bit word, and vector ones (SSE2 and AVX2 on x86-64, NEON on 64-bit
// ARM). The fastest one this processor runs is chosen once per process;
// tests and fuzzers may name any path that is available, and every path
// gives the same bitmaps.
#pragma once

#include <cstddef>
#include <cstdint>

// Which vector paths this compiler and target can build. AVX2 code is built
// per function (a target attribute), so the rest of the module keeps the
// baseline instruction set, and the processor is asked with the GCC/clang
// builtins; MSVC (and clang-cl, whose runtime may lack those builtins' data)
// uses SSE2 there.
#if defined(__x86_64__) || defined(_M_X64)
#define BRINDXML_SCAN_SSE2 1
#if (defined(__GNUC__) || defined(__clang__)) && !defined(_MSC_VER)
#define BRINDXML_SCAN_AVX2 1
#endif
#endif
#if defined(__aarch64__) || defined(_M_ARM64)
#define BRINDXML_SCAN_NEON 1
#endif

namespace brindxml {

enum class ScanPath : uint8_t {
    Portable = 0,  // 64-bit words, any processor and byte order
    Sse2 = 1,      // x86-64 baseline
    Avx2 = 2,      // x86-64, where the processor has it
    Neon = 3,      // 64-bit ARM
};

inline constexpr ScanPath kAllScanPaths[] = {ScanPath::Portable, ScanPath::Sse2, ScanPath::Avx2, ScanPath::Neon};

// "portable", "sse2", "avx2" or "neon".
const char* scan_path_name(ScanPath path) noexcept;

// Whether `path` is built into this module and this processor can run it.
bool scan_path_available(ScanPath path) noexcept;

// The fastest available path, decided on first use.
ScanPath fastest_scan_path() noexcept;

inline constexpr size_t kBlockBytes = 64;

// The marks of one 64-byte block.
struct BlockMasks {
    uint64_t lt;    // `<`
    uint64_t gt;    // `>`
    uint64_t dq;    // `"`
    uint64_t sq;    // `'`
    uint64_t name;  // what may end a name: `/`, `>`, and 0x00 to 0x20 (white space and other control bytes)
};

// Fills out[k] with the marks of the 64 bytes at data + 64 k, for every k
// below `blocks`; every one of those bytes must be readable.
using ClassifyBlocks = void (*)(const char* data, size_t blocks, BlockMasks* out) noexcept;

// The classifier of an available path.
ClassifyBlocks block_classifier(ScanPath path) noexcept;

}  // namespace brindxml
