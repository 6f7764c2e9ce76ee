#include "index/byte_classes.hpp"

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

void classify_portable(const char* data, std::span<BlockMasks> out) noexcept {
    using namespace bytes;
    constexpr uint64_t kLt = repeated('<'), kGt = repeated('>'), kDq = repeated('"'), kSq = repeated('\''),
                       kSlash = repeated('/');
    for (BlockMasks& masks : out) {
        BlockMasks m{0, 0, 0, 0, 0, 0};
        for (unsigned k = 0; k < 8; ++k) {
            const uint64_t word = load_little_endian(data + 8 * k);
            m.lt |= lane_bits(equal_lanes(word, kLt)) << (8 * k);
            m.gt |= lane_bits(equal_lanes(word, kGt)) << (8 * k);
            m.dq |= lane_bits(equal_lanes(word, kDq)) << (8 * k);
            m.sq |= lane_bits(equal_lanes(word, kSq)) << (8 * k);
            m.space |= lane_bits(at_most_space(word)) << (8 * k);
            m.slash |= lane_bits(equal_lanes(word, kSlash)) << (8 * k);
        }
        masks = m;
        data += kBlockBytes;
    }
}

// ---- SSE2: sixteen bytes per compare -------------------------------------------

#if defined(BRINDXML_SCAN_SSE2)
inline uint64_t sse2_marks(__m128i a, __m128i b, __m128i c, __m128i d, __m128i wanted) noexcept {
    const auto bits = [wanted](__m128i v) {
        return uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, wanted)))};
    };
    return bits(a) | bits(b) << 16 | bits(c) << 32 | bits(d) << 48;
}

// Bytes from 0x00 to 0x20: those that the unsigned minimum with 0x20 leaves alone.
inline __m128i sse2_at_most_space(__m128i v) noexcept {
    return _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
}

void classify_sse2(const char* data, std::span<BlockMasks> out) noexcept {
    const __m128i lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>'), dq = _mm_set1_epi8('"'), sq = _mm_set1_epi8('\''),
                  slash = _mm_set1_epi8('/');
    for (BlockMasks& masks : out) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48));
        const auto space_bits = [](__m128i v) {
            return uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(sse2_at_most_space(v)))};
        };
        masks = BlockMasks{sse2_marks(a, b, c, d, lt),
                           sse2_marks(a, b, c, d, gt),
                           sse2_marks(a, b, c, d, dq),
                           sse2_marks(a, b, c, d, sq),
                           space_bits(a) | space_bits(b) << 16 | space_bits(c) << 32 | space_bits(d) << 48,
                           sse2_marks(a, b, c, d, slash)};
        data += kBlockBytes;
    }
}
#endif

// ---- AVX2: thirty-two bytes per compare, built for this function only ---------

#if defined(BRINDXML_SCAN_AVX2)
__attribute__((target("avx2"))) inline uint64_t avx2_marks(__m256i low, __m256i high, __m256i wanted) noexcept {
    const auto low_bits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, wanted)));
    const auto high_bits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, wanted)));
    return uint64_t{low_bits} | uint64_t{high_bits} << 32;
}

__attribute__((target("avx2"))) inline uint64_t avx2_space_marks(__m256i low, __m256i high) noexcept {
    const __m256i space = _mm256_set1_epi8(0x20);
    const auto low_bits =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(low, space), low)));
    const auto high_bits =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(high, space), high)));
    return uint64_t{low_bits} | uint64_t{high_bits} << 32;
}

__attribute__((target("avx2"))) void classify_avx2(const char* data, std::span<BlockMasks> out) noexcept {
    const __m256i lt = _mm256_set1_epi8('<'), gt = _mm256_set1_epi8('>'), dq = _mm256_set1_epi8('"'),
                  sq = _mm256_set1_epi8('\''), slash = _mm256_set1_epi8('/');
    for (BlockMasks& masks : out) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 32));
        masks = BlockMasks{avx2_marks(low, high, lt), avx2_marks(low, high, gt),   avx2_marks(low, high, dq),
                           avx2_marks(low, high, sq), avx2_space_marks(low, high), avx2_marks(low, high, slash)};
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

void classify_neon(const char* data, std::span<BlockMasks> out) noexcept {
    const uint8x16_t lt = vdupq_n_u8('<'), gt = vdupq_n_u8('>'), dq = vdupq_n_u8('"'), sq = vdupq_n_u8('\''),
                     slash = vdupq_n_u8('/'), space = vdupq_n_u8(0x20);
    for (BlockMasks& masks : out) {
        const auto* u = reinterpret_cast<const uint8_t*>(data);
        const uint8x16_t a = vld1q_u8(u), b = vld1q_u8(u + 16), c = vld1q_u8(u + 32), d = vld1q_u8(u + 48);
        masks = BlockMasks{neon_marks(a, b, c, d, lt),
                           neon_marks(a, b, c, d, gt),
                           neon_marks(a, b, c, d, dq),
                           neon_marks(a, b, c, d, sq),
                           neon_bits(vcleq_u8(a, space), vcleq_u8(b, space), vcleq_u8(c, space), vcleq_u8(d, space)),
                           neon_marks(a, b, c, d, slash)};
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
