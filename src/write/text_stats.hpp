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
    for (int mode = 0; mode < 2; ++mode)
        for (int c = 0; c < 256; ++c)
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
// The bytes escaping adds in one block of 16: 3 for each escaped byte, one
// more for '&', '\'', '"', CR and LF, one more again for '\'' and '"'.
template <EscapeMode mode>
inline unsigned block_extra(__m128i v, unsigned escaped) noexcept {
    const __m128i apos_or_amp = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x01)), _mm_set1_epi8(0x27));
    const __m128i apos = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x27));
    const __m128i quot = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x22));
    __m128i plus1 = _mm_or_si128(apos_or_amp, quot);
    if constexpr (mode == EscapeMode::Attribute) {
        plus1 = _mm_or_si128(plus1, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x0D)),
                                                 _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0A))));
    }
    const unsigned m1 = static_cast<unsigned>(_mm_movemask_epi8(plus1));
    const unsigned m2 = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(apos, quot)));
    return 3 * std::popcount(escaped) + std::popcount(m1) + std::popcount(m2);
}

template <EscapeMode mode, bool escaped>
inline void add_block(__m128i v, uint64_t& extra, uint64_t& continuation, __m128i& max) noexcept {
    if (_mm_movemask_epi8(v)) {
        continuation += std::popcount(static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xC0))))));
        max = _mm_max_epu8(max, v);
    }
    if constexpr (escaped) {
        if (const unsigned hits = escape_detail::escape_mask16_of<mode>(v)) extra += block_extra<mode>(v, hits);
    }
}
#endif

template <EscapeMode mode, bool escaped>
inline void add(std::string_view text, TextStats& stats) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
#if defined(__SSE2__)
    uint64_t extra = 0, continuation = 0;
    __m128i max = _mm_setzero_si128();
    while (n >= 16) {
        add_block<mode, escaped>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), extra, continuation, max);
        p += 16;
        n -= 16;
    }
    if (n) add_block<mode, escaped>(escape_detail::load_short(p, n), extra, continuation, max);
    if (continuation | static_cast<unsigned>(_mm_movemask_epi8(max))) {
        alignas(16) unsigned char lanes[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), max);
        unsigned max_byte = stats.max_byte;
        for (unsigned char lane : lanes) max_byte = lane > max_byte ? lane : max_byte;
        stats.max_byte = max_byte;
    }
    stats.extra += extra;
    stats.continuation += continuation;
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
