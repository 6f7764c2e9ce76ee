#include "index/byte_classes.hpp"

#include <span>

#include "base/bytes.hpp"

#if defined(BRINDXML_SCAN_SSE2)
#include <immintrin.h>
#endif
#if defined(BRINDXML_SCAN_NEON)
#include <arm_neon.h>
#endif

namespace brindxml {

namespace {

// ---- portable: eight bytes per step ------------------------------------------

// The eight bytes at `p` with the byte at p + i in bits 8i..8i+7, whatever the
// machine's byte order (compilers turn this into one load, plus a byte swap
// on big-endian machines).
inline uint64_t load_little_endian(const char* p) noexcept {
    if constexpr (bytes::kLittleEndian) {
        return bytes::load_word(p);
    } else {
        uint64_t word = 0;
        for (int i = 0; i < 8; ++i) word |= uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
        return word;
    }
}

// 0x80 in every lane of `word` holding a byte from 0x00 to 0x20. Exact per
// lane: the low seven bits plus 0x5F reach bit 7 from 0x21 on, and cannot
// carry out of the lane; bytes from 0x80 have bit 7 already.
inline uint64_t at_most_space(uint64_t word) noexcept {
    using namespace bytes;
    return ~(((word & kLaneLow7) + repeated(0x7F - 0x20)) | word) & kLaneHigh;
}

void classify_portable(const char* data, size_t blocks, BlockMasks* out) noexcept {
    using namespace bytes;
    constexpr uint64_t kLt = repeated('<'), kGt = repeated('>'), kDq = repeated('"'), kSq = repeated('\''),
                       kSlash = repeated('/');
    for (BlockMasks& masks : std::span(out, blocks)) {
        BlockMasks m{0, 0, 0, 0, 0};
        for (unsigned k = 0; k < 8; ++k) {
            const uint64_t word = load_little_endian(data + 8 * k);
            m.lt |= lane_bits(equal_lanes(word, kLt)) << (8 * k);
            m.dq |= lane_bits(equal_lanes(word, kDq)) << (8 * k);
            m.sq |= lane_bits(equal_lanes(word, kSq)) << (8 * k);
            const uint64_t gt = equal_lanes(word, kGt);
            m.gt |= lane_bits(gt) << (8 * k);
            m.name |= lane_bits(at_most_space(word) | equal_lanes(word, kSlash) | gt) << (8 * k);
        }
        masks = m;
        data += kBlockBytes;
    }
}

// ---- SSE2: sixteen bytes per compare -------------------------------------------

#if defined(BRINDXML_SCAN_SSE2)
// Bytes from 0x00 to 0x20: those that the unsigned minimum with 0x20 leaves alone.
inline __m128i sse2_at_most_space(__m128i v) noexcept {
    return _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
}

void classify_sse2(const char* data, size_t blocks, BlockMasks* out) noexcept {
    const __m128i lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>'), dq = _mm_set1_epi8('"'), sq = _mm_set1_epi8('\''),
                  slash = _mm_set1_epi8('/');
    const auto bits = [](__m128i flags) { return uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(flags))}; };
    for (BlockMasks& masks : std::span(out, blocks)) {
        BlockMasks m{0, 0, 0, 0, 0};
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * k));
            const __m128i is_gt = _mm_cmpeq_epi8(v, gt);
            m.lt |= bits(_mm_cmpeq_epi8(v, lt)) << (16 * k);
            m.gt |= bits(is_gt) << (16 * k);
            m.dq |= bits(_mm_cmpeq_epi8(v, dq)) << (16 * k);
            m.sq |= bits(_mm_cmpeq_epi8(v, sq)) << (16 * k);
            m.name |= bits(_mm_or_si128(_mm_or_si128(sse2_at_most_space(v), _mm_cmpeq_epi8(v, slash)), is_gt))
                      << (16 * k);
        }
        masks = m;
        data += kBlockBytes;
    }
}
#endif

// ---- AVX2: thirty-two bytes per compare, built for this function only ---------

#if defined(BRINDXML_SCAN_AVX2)
// The 64 bits of the flags for the two halves of a block.
__attribute__((target("avx2"))) inline uint64_t avx2_bits(__m256i low, __m256i high) noexcept {
    const auto low_bits = static_cast<uint32_t>(_mm256_movemask_epi8(low));
    const auto high_bits = static_cast<uint32_t>(_mm256_movemask_epi8(high));
    return uint64_t{low_bits} | uint64_t{high_bits} << 32;
}

// Bytes that may end a name: 0x00 to 0x20 (those that the unsigned minimum
// with 0x20 leaves alone), `/`, and the `>` flags given.
__attribute__((target("avx2"))) inline __m256i avx2_name_flags(__m256i v, __m256i is_gt) noexcept {
    const __m256i space = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x20)), v);
    return _mm256_or_si256(_mm256_or_si256(space, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('/'))), is_gt);
}

__attribute__((target("avx2"))) void classify_avx2(const char* data, size_t blocks, BlockMasks* out) noexcept {
    const __m256i lt = _mm256_set1_epi8('<'), gt = _mm256_set1_epi8('>'), dq = _mm256_set1_epi8('"'),
                  sq = _mm256_set1_epi8('\'');
    for (BlockMasks& masks : std::span(out, blocks)) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 32));
        const __m256i low_gt = _mm256_cmpeq_epi8(low, gt), high_gt = _mm256_cmpeq_epi8(high, gt);
        masks =
            BlockMasks{avx2_bits(_mm256_cmpeq_epi8(low, lt), _mm256_cmpeq_epi8(high, lt)), avx2_bits(low_gt, high_gt),
                       avx2_bits(_mm256_cmpeq_epi8(low, dq), _mm256_cmpeq_epi8(high, dq)),
                       avx2_bits(_mm256_cmpeq_epi8(low, sq), _mm256_cmpeq_epi8(high, sq)),
                       avx2_bits(avx2_name_flags(low, low_gt), avx2_name_flags(high, high_gt))};
        data += kBlockBytes;
    }
}

bool cpu_has_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

// ---- NEON: sixteen bytes per compare -------------------------------------------

#if defined(BRINDXML_SCAN_NEON)
// Bit i of the result for lane i of the 64 compare results (0xFF or 0): each
// lane keeps its own bit of 1..128, and three rounds of pairwise additions
// gather the eight bits of each group of eight lanes into one byte.
inline uint64_t neon_bits(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d) noexcept {
    const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    uint8x16_t sum = vpaddq_u8(vpaddq_u8(vandq_u8(a, weights), vandq_u8(b, weights)),
                               vpaddq_u8(vandq_u8(c, weights), vandq_u8(d, weights)));
    sum = vpaddq_u8(sum, sum);
    return vgetq_lane_u64(vreinterpretq_u64_u8(sum), 0);
}

inline uint64_t neon_marks(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d, uint8x16_t wanted) noexcept {
    return neon_bits(vceqq_u8(a, wanted), vceqq_u8(b, wanted), vceqq_u8(c, wanted), vceqq_u8(d, wanted));
}

void classify_neon(const char* data, size_t blocks, BlockMasks* out) noexcept {
    const uint8x16_t lt = vdupq_n_u8('<'), gt = vdupq_n_u8('>'), dq = vdupq_n_u8('"'), sq = vdupq_n_u8('\''),
                     slash = vdupq_n_u8('/'), space = vdupq_n_u8(0x20);
    const auto name = [slash, space](uint8x16_t v, uint8x16_t is_gt) {
        return vorrq_u8(vorrq_u8(vcleq_u8(v, space), vceqq_u8(v, slash)), is_gt);
    };
    for (BlockMasks& masks : std::span(out, blocks)) {
        const auto* u = reinterpret_cast<const uint8_t*>(data);
        const uint8x16_t a = vld1q_u8(u), b = vld1q_u8(u + 16), c = vld1q_u8(u + 32), d = vld1q_u8(u + 48);
        const uint8x16_t ga = vceqq_u8(a, gt), gb = vceqq_u8(b, gt), gc = vceqq_u8(c, gt), gd = vceqq_u8(d, gt);
        masks = BlockMasks{neon_marks(a, b, c, d, lt), neon_bits(ga, gb, gc, gd), neon_marks(a, b, c, d, dq),
                           neon_marks(a, b, c, d, sq), neon_bits(name(a, ga), name(b, gb), name(c, gc), name(d, gd))};
        data += kBlockBytes;
    }
}
#endif

}  // namespace

const char* scan_path_name(ScanPath path) noexcept {
    switch (path) {
        case ScanPath::Portable: return "portable";
        case ScanPath::Sse2: return "sse2";
        case ScanPath::Avx2: return "avx2";
        case ScanPath::Neon: return "neon";
    }
    return "unknown";
}

bool scan_path_available(ScanPath path) noexcept {
    switch (path) {
        case ScanPath::Portable: return true;
#if defined(BRINDXML_SCAN_SSE2)
        case ScanPath::Sse2: return true;
#endif
#if defined(BRINDXML_SCAN_AVX2)
        case ScanPath::Avx2: {
            static const bool has_avx2 = cpu_has_avx2();
            return has_avx2;
        }
#endif
#if defined(BRINDXML_SCAN_NEON)
        case ScanPath::Neon: return true;
#endif
        default: return false;
    }
}

ScanPath fastest_scan_path() noexcept {
    static const ScanPath fastest = [] {
        for (ScanPath path : {ScanPath::Avx2, ScanPath::Neon, ScanPath::Sse2})
            if (scan_path_available(path)) return path;
        return ScanPath::Portable;
    }();
    return fastest;
}

ClassifyBlocks block_classifier(ScanPath path) noexcept {
    switch (path) {
#if defined(BRINDXML_SCAN_SSE2)
        case ScanPath::Sse2: return classify_sse2;
#endif
#if defined(BRINDXML_SCAN_AVX2)
        case ScanPath::Avx2: return scan_path_available(ScanPath::Avx2) ? classify_avx2 : classify_sse2;
#endif
#if defined(BRINDXML_SCAN_NEON)
        case ScanPath::Neon: return classify_neon;
#endif
        default: return classify_portable;
    }
}

}  // namespace brindxml
