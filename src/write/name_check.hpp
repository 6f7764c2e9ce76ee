// Which element names and attribute keys the writer can write: a name is
// written as it is, so one that is empty or holds a byte that would end it or
// change the markup around it (white space, <, >, /, =, quotes, &) or a
// control character cannot be read back, by this reader or any other. Names
// that are merely unusual for XML (a leading digit, any other non-ASCII
// character) are written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "write/escape.hpp"

namespace brindxml {

// The ASCII bytes a name must not hold: controls (0x00-0x1F, 0x7F), space and
// the seven markup characters.
inline constexpr std::array<bool, 128> kNameForbidden = [] {
    std::array<bool, 128> table{};
    for (unsigned c = 0; c <= 0x20; ++c) table[c] = true;
    table[0x7F] = true;
    for (char c : std::string_view("<>/=\"'&")) table[static_cast<unsigned char>(c)] = true;
    return table;
}();

namespace name_detail {

// The characters beyond ASCII a name must not hold: the C1 controls
// U+0080-U+009F and the other Unicode White_Space characters (U+00A0, U+1680,
// U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000). `p` is at a lead
// byte of valid UTF-8 in [p, end).
inline bool forbidden_wide(const unsigned char* p, const unsigned char* end) noexcept {
    const size_t left = static_cast<size_t>(end - p);
    if (p[0] == 0xC2 && left >= 2) return p[1] <= 0xA0;  // U+0080-U+00A0
    if (p[0] == 0xE1 && left >= 3) return p[1] == 0x9A && p[2] == 0x80;
    if (p[0] == 0xE2 && left >= 3) {
        if (p[1] == 0x80) return p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF;
        return p[1] == 0x81 && p[2] == 0x9F;
    }
    if (p[0] == 0xE3 && left >= 3) return p[1] == 0x80 && p[2] == 0x80;
    return false;
}

inline bool scalar_writable(const unsigned char* p, const unsigned char* end) noexcept {
    for (; p < end; ++p) {
        const unsigned c = *p;
        if (c < 0x80) {
            if (kNameForbidden[c]) return false;
        } else if (c >= 0xC2 && forbidden_wide(p, end)) {
            return false;
        }
    }
    return true;
}

}  // namespace name_detail

// Per byte: 1 for an ASCII byte a name must not hold, 2 for a lead byte that
// may start a character it must not hold (C2, E1, E2, E3), else 0.
inline constexpr std::array<uint8_t, 256> kNameByteClass = [] {
    std::array<uint8_t, 256> table{};
    for (unsigned c = 0; c < 128; ++c) table[c] = kNameForbidden[c] ? 1 : 0;
    for (unsigned c : {0xC2u, 0xE1u, 0xE2u, 0xE3u}) table[c] = 2;
    return table;
}();

// Whether `name` can be written. Names are short: a table lookup per byte,
// or-ed together without a branch, and a closer look only for the few names
// with a lead byte of a character that could be white space or a control;
// long names a vector of 16 bytes at a time.
inline bool name_is_writable(std::string_view name) noexcept {
    if (name.empty()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    const auto* const end = p + name.size();
    unsigned found = 0;
#if defined(__SSE2__)
    const unsigned char* at = p;
    for (; end - at >= 16; at += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        // <= 0x20, 0x7F, '<' 0x3C / '>' 0x3E, '/', '=', '"', '&' 0x26 / '\'' 0x27.
        __m128i bad = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x02)), _mm_set1_epi8(0x3E)));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x2F)));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x3D)));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x22)));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x01)), _mm_set1_epi8(0x27)));
        if (_mm_movemask_epi8(bad)) return false;
        if (_mm_movemask_epi8(v)) found |= 2;
    }
    for (; at < end; ++at) found |= kNameByteClass[*at];
#else
    for (const unsigned char* at = p; at < end; ++at) found |= kNameByteClass[*at];
#endif
    if (found & 1) return false;
    return !(found & 2) || name_detail::scalar_writable(p, end);
}

}  // namespace brindxml
