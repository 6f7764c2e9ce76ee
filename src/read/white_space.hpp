// Two white-space sets over UTF-8 bytes. Element text is trimmed of XML's
// own white space: SPACE, TAB, CR and LF, and nothing else, so that a
// no-break space (U+00A0, U+202F) or an ideographic space (U+3000) at the
// edge of a text is kept as data. The tail of an end tag (`</a ...>`) may be
// any Unicode White_Space: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000. The input is valid
// UTF-8 cut at character boundaries.
#pragma once

#include <cstdint>

namespace brindxml {

// Byte width of the White_Space character starting at p[0], or 0.
inline uint64_t white_space_width(const char* p, uint64_t available) noexcept {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    const unsigned char c = u[0];
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
    if (c < 0xC2) return 0;
    if (c == 0xC2) return available >= 2 && (u[1] == 0x85 || u[1] == 0xA0) ? 2 : 0;
    if (available < 3) return 0;
    if (c == 0xE1) return u[1] == 0x9A && u[2] == 0x80 ? 3 : 0;
    if (c == 0xE3) return u[1] == 0x80 && u[2] == 0x80 ? 3 : 0;
    if (c != 0xE2) return 0;
    if (u[1] == 0x80) {
        const unsigned char d = u[2];
        return (d >= 0x80 && d <= 0x8A) || d == 0xA8 || d == 0xA9 || d == 0xAF ? 3 : 0;
    }
    return u[1] == 0x81 && u[2] == 0x9F ? 3 : 0;
}

// Byte width of the White_Space character ending at p[n - 1], or 0.
inline uint64_t white_space_width_before(const char* p, uint64_t n) noexcept {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    const unsigned char c = u[n - 1];
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D) ? 1 : 0;
    if (n >= 2 && u[n - 2] == 0xC2 && (c == 0x85 || c == 0xA0)) return 2;
    if (n >= 3 && white_space_width(p + n - 3, 3) == 3) return 3;
    return 0;
}

// Length of the White_Space prefix of p[0, n).
inline uint64_t leading_white_space(const char* p, uint64_t n) noexcept {
    uint64_t i = 0;
    while (i < n) {
        const uint64_t w = white_space_width(p + i, n - i);
        if (w == 0) break;
        i += w;
    }
    return i;
}

// Length of the White_Space suffix of p[0, n).
inline uint64_t trailing_white_space(const char* p, uint64_t n) noexcept {
    uint64_t end = n;
    while (end > 0) {
        const uint64_t w = white_space_width_before(p, end);
        if (w == 0) break;
        end -= w;
    }
    return n - end;
}

inline bool is_all_white_space(const char* p, uint64_t n) noexcept { return leading_white_space(p, n) == n; }

inline bool is_xml_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Length of the XML white-space prefix of p[0, n).
inline uint64_t leading_xml_space(const char* p, uint64_t n) noexcept {
    uint64_t i = 0;
    while (i < n && is_xml_space(p[i])) ++i;
    return i;
}

// Length of the XML white-space suffix of p[0, n).
inline uint64_t trailing_xml_space(const char* p, uint64_t n) noexcept {
    uint64_t end = n;
    while (end > 0 && is_xml_space(p[end - 1])) --end;
    return n - end;
}

inline bool is_all_xml_space(const char* p, uint64_t n) noexcept { return leading_xml_space(p, n) == n; }

}  // namespace brindxml
