// What a string adds to the output, measured before anything is written: the
// bytes its escaping adds, how many of its bytes continue a UTF-8 sequence
// (so characters = bytes - continuation bytes) and its largest byte (which
// tells the widest character: < 0x80 ASCII, <= 0xC3 Latin-1, < 0xF0 the BMP).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "write/escape.hpp"

namespace brindxml {

struct TextStats {
    uint64_t extra = 0;         // bytes added by escaping
    uint64_t continuation = 0;  // bytes 0x80..0xBF
    unsigned max_byte = 0;
};

// Bytes added when `mode` escapes `byte` (its replacement's length minus one).
inline constexpr std::array<std::array<uint8_t, 256>, 2> kEscapeExtra = [] {
    std::array<std::array<uint8_t, 256>, 2> table{};
    for (size_t mode = 0; mode < 2; ++mode)
        for (size_t c = 0; c < 256; ++c)
            if (kEscapes[mode][c]) table[mode][c] = static_cast<uint8_t>(kEscapeReplacement[c].size() - 1);
    return table;
}();

namespace stats_detail {

template <EscapeMode mode, bool escaped>
inline void add_scalar(const unsigned char* p, size_t n, TextStats& stats) noexcept {
    uint64_t extra = 0, continuation = 0;
    unsigned max_byte = stats.max_byte;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = p[i];
        if constexpr (escaped) extra += kEscapeExtra[static_cast<int>(mode)][c];
        continuation += (c & 0xC0) == 0x80;
        max_byte = c > max_byte ? c : max_byte;
    }
    stats.extra += extra;
    stats.continuation += continuation;
    stats.max_byte = max_byte;
}

#if defined(__SSE2__)
// Per byte of one block of 16, the bytes escaping adds: 3 for each escaped
// byte, one more for '&', '\'', '"', CR and LF, one more again for '\'' and '"'
// (CR in both modes, LF only in attribute values).
template <EscapeMode mode>
inline __m128i block_extra(__m128i v, __m128i escaped) noexcept {
    const __m128i one = _mm_set1_epi8(1);
    const __m128i apos_or_amp = _mm_cmpeq_epi8(_mm_or_si128(v, one), _mm_set1_epi8(0x27));
    const __m128i apos_or_quot =
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x27)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x22)));
    __m128i plus1 = _mm_or_si128(apos_or_amp, apos_or_quot);
    if constexpr (mode == EscapeMode::Attribute) {
        plus1 = _mm_or_si128(
            plus1, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x0D)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0A))));
    } else {
        plus1 = _mm_or_si128(plus1, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0D)));
    }
    const __m128i weights = _mm_add_epi8(_mm_and_si128(escaped, _mm_set1_epi8(3)),
                                         _mm_add_epi8(_mm_and_si128(plus1, one), _mm_and_si128(apos_or_quot, one)));
    return _mm_sad_epu8(weights, _mm_setzero_si128());
}

// Sums go to two 64-bit lanes (a byte-sum per half block, with _mm_sad_epu8),
// without a population count (not in baseline x86-64).
template <EscapeMode mode, bool escaped>
inline void add_block(__m128i v, __m128i& extra, __m128i& continuation, __m128i& max) noexcept {
    if (_mm_movemask_epi8(v)) {
        const __m128i follows = _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xC0)));
        continuation =
            _mm_add_epi64(continuation, _mm_sad_epu8(_mm_and_si128(follows, _mm_set1_epi8(1)), _mm_setzero_si128()));
        max = _mm_max_epu8(max, v);
    }
    if constexpr (escaped) {
        const __m128i hits = escape_detail::escape_hits16<mode>(v);
        if (_mm_movemask_epi8(hits)) extra = _mm_add_epi64(extra, block_extra<mode>(v, hits));
    }
}

inline uint64_t lane_sum(__m128i sums) noexcept {
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}
#endif

template <EscapeMode mode, bool escaped>
inline void add(std::string_view text, TextStats& stats) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
#if defined(__SSE2__)
    __m128i extra = _mm_setzero_si128(), continuation = _mm_setzero_si128(), max = _mm_setzero_si128();
    while (n >= 16) {
        add_block<mode, escaped>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), extra, continuation, max);
        p += 16;
        n -= 16;
    }
    if (n) add_block<mode, escaped>(escape_detail::load_short(p, n), extra, continuation, max);
    if (_mm_movemask_epi8(max)) {
        alignas(16) unsigned char lanes[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), max);
        unsigned max_byte = stats.max_byte;
        for (unsigned char lane : lanes) max_byte = lane > max_byte ? lane : max_byte;
        stats.max_byte = max_byte;
        stats.continuation += lane_sum(continuation);
    }
    if constexpr (escaped) stats.extra += lane_sum(extra);
    return;

#endif
    add_scalar<mode, escaped>(p, n, stats);
}

}  // namespace stats_detail

// Adds a string written as it is (a name or an attribute key).
inline void add_plain_stats(std::string_view text, TextStats& stats) noexcept {
    stats_detail::add<EscapeMode::Text, false>(text, stats);
}

// Adds a string written through write_escaped in `mode`.
template <EscapeMode mode>
inline void add_escaped_stats(std::string_view text, TextStats& stats) noexcept {
    stats_detail::add<mode, true>(text, stats);
}

}  // namespace brindxml
