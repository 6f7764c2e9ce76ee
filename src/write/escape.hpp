// Escaping of text and attribute values. Runs of bytes that need no escaping
// are found a word or a vector at a time and appended as whole slices.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/bytes.hpp"
#include "write/sink.hpp"

namespace brindxml {

enum class EscapeMode : uint8_t { Text, Attribute };

// The replacement of every byte that some mode escapes; empty for all others.
// Every escaped character is ASCII, so one byte stands for one character and
// UTF-8 sequences (all bytes >= 0x80) pass through untouched.
inline constexpr std::array<std::string_view, 256> kEscapeReplacement = [] {
    std::array<std::string_view, 256> table{};
    table['&'] = "&amp;";
    table['<'] = "&lt;";
    table['>'] = "&gt;";
    table['"'] = "&quot;";
    table['\''] = "&apos;";
    table['\t'] = "&#9;";
    table['\r'] = "&#13;";
    table['\n'] = "&#10;";
    return table;
}();

// kEscapes[mode][byte]: whether the mode replaces the byte.
inline constexpr std::array<std::array<bool, 256>, 2> kEscapes = [] {
    std::array<std::array<bool, 256>, 2> table{};
    // CR in text too: every reader turns a raw CR (or CR LF) into LF.
    for (char c : std::string_view("&<>\"'\r")) {
        table[static_cast<int>(EscapeMode::Text)][bytes::byte_of(c)] = true;
        table[static_cast<int>(EscapeMode::Attribute)][bytes::byte_of(c)] = true;
    }
    for (char c : std::string_view("\t\n")) table[static_cast<int>(EscapeMode::Attribute)][bytes::byte_of(c)] = true;
    return table;
}();

namespace escape_detail {

using namespace bytes;

// Bit 7 of each byte is set where `w` holds a byte the mode escapes. Pairs of
// targets that differ in one bit share a test: '&' 0x26 / '\'' 0x27,
// '<' 0x3C / '>' 0x3E, TAB 0x09 / CR 0x0D (CR alone in text).
template <EscapeMode mode>
constexpr uint64_t escape_bytes(uint64_t w) noexcept {
    uint64_t clear = nonzero_lanes((w | kLaneOnes) ^ repeated(0x27)) &
                     nonzero_lanes((w | repeated(0x02)) ^ repeated(0x3E)) & nonzero_lanes(w ^ repeated(0x22));
    if constexpr (mode == EscapeMode::Attribute) {
        clear &= nonzero_lanes((w | repeated(0x04)) ^ repeated(0x0D)) & nonzero_lanes(w ^ repeated(0x0A));
    } else {
        clear &= nonzero_lanes(w ^ repeated(0x0D));
    }
    return ~clear & kLaneHigh;
}

}  // namespace escape_detail

// The first byte in [p, end) that `mode` escapes, or `end`: eight bytes at a
// time, then the table for the last few.
template <EscapeMode mode>
inline const char* find_escape_by_words(const char* p, const char* end) noexcept {
    using namespace escape_detail;
    while (end - p >= 16) {
        const uint64_t a = escape_bytes<mode>(load_word(p));
        const uint64_t b = escape_bytes<mode>(load_word(p + 8));
        if (a | b) return a ? p + first_lane(a) : p + 8 + first_lane(b);
        p += 16;
    }
    if (end - p >= 8) {
        if (const uint64_t a = escape_bytes<mode>(load_word(p))) return p + first_lane(a);
        p += 8;
    }
    const auto& escapes = kEscapes[static_cast<int>(mode)];
    while (p < end && !escapes[static_cast<unsigned char>(*p)]) ++p;
    return p;
}

#if defined(__SSE2__)
namespace escape_detail {

using namespace bytes;

// Bit i of the result is set when byte i of the 16 at `p` is escaped; the
// same one-bit pairing as escape_bytes().
// The `n` < 16 bytes at `p` as one block, padded with zeros (neither escaped
// nor non-ASCII). Assembled in registers from loads that stay inside the
// bytes: copying them to memory and loading 16 bytes back would stall on the
// store-to-load forwarding of the copy.
inline __m128i load_short(const unsigned char* p, size_t n) noexcept {
    uint64_t low = 0, high = 0;
    if (n >= 8) {
        std::memcpy(&low, p, 8);
        if (n > 8) {
            std::memcpy(&high, p + n - 8, 8);
            high >>= 8 * (16 - n);
        }
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        low = a | ((uint64_t{b} >> (8 * (8 - n))) << 32);
    } else if (n) {
        low = p[0] | (uint64_t{p[n / 2]} << (8 * (n / 2))) | (uint64_t{p[n - 1]} << (8 * (n - 1)));
    }
    return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}

// 0xFF in each byte of the block that `mode` escapes, else 0.
template <EscapeMode mode>
inline __m128i escape_hits16(__m128i v) noexcept {
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x01)), _mm_set1_epi8(0x27)),
                               _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x02)), _mm_set1_epi8(0x3E)));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x22)));
    if constexpr (mode == EscapeMode::Attribute) {
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x04)), _mm_set1_epi8(0x0D)));
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0A)));
    } else {
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0D)));
    }
    return hit;
}

template <EscapeMode mode>
inline unsigned escape_mask16_of(__m128i v) noexcept {
    return static_cast<unsigned>(_mm_movemask_epi8(escape_hits16<mode>(v)));
}

template <EscapeMode mode>
inline unsigned escape_mask16(const char* p) noexcept {
    return escape_mask16_of<mode>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

}  // namespace escape_detail

// As find_escape_by_words, sixteen bytes at a time (SSE2 is part of every
// x86-64), four blocks per step while the text is long.
template <EscapeMode mode>
inline const char* find_escape_by_vectors(const char* p, const char* end) noexcept {
    using escape_detail::escape_mask16;
    using escape_detail::escape_hits16;
    while (end - p >= 64) {
        // One test for the four blocks; the bits of each only once one of them hits.
        const __m128i a = escape_hits16<mode>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m128i b = escape_hits16<mode>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        const __m128i c = escape_hits16<mode>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
        const __m128i d = escape_hits16<mode>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)))) {
            const auto bits = [](__m128i hits) { return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))); };
            const uint64_t all = bits(a) | (bits(b) << 16) | (bits(c) << 32) | (bits(d) << 48);
            return p + std::countr_zero(all);
        }
        p += 64;
    }
    while (end - p >= 16) {
        if (const unsigned a = escape_mask16<mode>(p)) return p + std::countr_zero(a);
        p += 16;
    }
    return find_escape_by_words<mode>(p, end);
}
#endif

template <EscapeMode mode>
inline const char* find_escape(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    return find_escape_by_vectors<mode>(p, end);
#else
    return find_escape_by_words<mode>(p, end);
#endif
}

inline const char* find_escape(const char* p, const char* end, EscapeMode mode) noexcept {
    return mode == EscapeMode::Text ? find_escape<EscapeMode::Text>(p, end)
                                    : find_escape<EscapeMode::Attribute>(p, end);
}

template <EscapeMode mode, ByteSink Sink>
WriteStatus write_escaped(Sink& sink, std::string_view text) {
    const char* run = text.data();
    const char* const end = run + text.size();
    for (;;) {
        const char* special = find_escape<mode>(run, end);
        if (special != run) {
            if (WriteStatus error = sink.append(std::string_view(run, static_cast<size_t>(special - run)))) return error;
        }
        if (special == end) return {};
        if (WriteStatus error = sink.append(kEscapeReplacement[static_cast<unsigned char>(*special)])) return error;
        run = special + 1;
    }
}

// Appends `text` with the characters of `mode` replaced by their references.
template <ByteSink Sink>
WriteStatus write_escaped(Sink& sink, std::string_view text, EscapeMode mode) {
    return mode == EscapeMode::Text ? write_escaped<EscapeMode::Text>(sink, text)
                                    : write_escaped<EscapeMode::Attribute>(sink, text);
}

}  // namespace brindxml
