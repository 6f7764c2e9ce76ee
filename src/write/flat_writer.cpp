#include "write/flat_writer.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindxml {

namespace {

struct NoError {
    explicit operator bool() const noexcept { return false; }
};

// The replacement of each byte in one mode, as characters of type Char:
// the byte itself when it is not escaped.
template <class Char>
struct Replacement {
    Char chars[8];
    uint32_t length;
};

template <class Char, EscapeMode mode>
inline constexpr std::array<Replacement<Char>, 128> kReplacements = [] {
    std::array<Replacement<Char>, 128> table{};
    for (unsigned c = 0; c < 128; ++c) {
        if (kEscapes[static_cast<int>(mode)][c]) {
            const std::string_view text = kEscapeReplacement[c];
            for (size_t i = 0; i < text.size(); ++i) table[c].chars[i] = static_cast<Char>(text[i]);
            table[c].length = static_cast<uint32_t>(text.size());
        } else {
            table[c].chars[0] = static_cast<Char>(c);
            table[c].length = 1;
        }
    }
    return table;
}();

// Writes into the character buffer of a str made at the document's exact
// length and kind. Char is the code unit (uint8_t, uint16_t, uint32_t);
// `transcode` is false when the text is all ASCII (bytes are characters).
//
// Fast paths store whole blocks (16 characters, or an 8-character
// replacement) and then advance by what was meant; the bytes stored past that
// point are overwritten by what follows. They run only while the room left is
// at least kMargin plus 6 characters per input byte of the chunk in hand, the
// most a chunk can produce, so no store leaves the buffer. Near the end of the
// buffer every character is checked instead.
template <class Char, bool transcode>
class CharEmitter {
public:
    using Status = NoError;
    CharEmitter(Char* begin, Char* end) noexcept : out_(begin), end_(end) {}

    bool filled_exactly() const noexcept { return !overflow_ && out_ == end_; }

    NoError literal(std::string_view piece) noexcept {
        if (piece.size() > room()) return fail();
        for (size_t i = 0; i < piece.size(); ++i) out_[i] = static_cast<Char>(static_cast<unsigned char>(piece[i]));
        out_ += piece.size();
        return {};
    }
    NoError line_break(uint64_t indent_width, uint64_t depth) noexcept {
        uint64_t spaces = 0;
        if (!platform::checked_multiply(indent_width, depth, spaces) || spaces >= room()) return fail();
        *out_++ = '\n';
        if constexpr (sizeof(Char) == 1) std::memset(out_, ' ', static_cast<size_t>(spaces));  // below room()
        else std::fill_n(out_, spaces, Char{' '});
        out_ += spaces;
        return {};
    }
    NoError plain(std::string_view text) noexcept {
        if constexpr (!transcode) {
#if defined(__SSE2__)
            if (text.size() < 16 && room() >= 16) {
                store_block(
                    escape_detail::load_short(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
                out_ += text.size();
                return {};
            }
#endif
            if (text.size() > room()) return fail();
            // An empty name may have no storage at all (a null data pointer).
            if (!text.empty()) std::memcpy(out_, text.data(), text.size());
            out_ += text.size();
            return {};
        } else {
            put<EscapeMode::Text, false>(text);
            return {};
        }
    }
    template <EscapeMode mode>
    NoError escaped(std::string_view text) noexcept {
        put<mode, true>(text);
        return {};
    }

private:
    static constexpr size_t kChunk = 4096;
    static constexpr size_t kMargin = 160;

    size_t room() const noexcept { return static_cast<size_t>(end_ - out_); }
    NoError fail() noexcept {
        overflow_ = true;
        return {};
    }

    template <EscapeMode mode, bool escape>
    void put(std::string_view text) noexcept {
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        const auto* const end = p + text.size();
        while (p < end) {
            const size_t chunk = std::min<size_t>(static_cast<size_t>(end - p), kChunk);
            if (overflow_ || room() < chunk * 6 + kMargin) {
                put_checked<mode, escape>(p, end);
                return;
            }
            p = put_fast<mode, escape>(p, p + chunk, end);
        }
    }

    // One character from p (valid UTF-8: the bytes after a lead byte exist).
    static char32_t decode(const unsigned char*& p) noexcept {
        const unsigned c = *p;
        if (c < 0xE0) {
            const char32_t cp = ((c & 0x1Fu) << 6) | (p[1] & 0x3Fu);
            p += 2;
            return cp;
        }
        if (c < 0xF0) {
            const char32_t cp = ((c & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
            p += 3;
            return cp;
        }
        const char32_t cp = ((c & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
        p += 4;
        return cp;
    }

    // One character at p, unchecked (the room is known).
    template <EscapeMode mode, bool escape>
    void put_one(const unsigned char*& p) noexcept {
        const unsigned c = *p;
        if (c < 0x80) {
            if constexpr (escape) {
                const Replacement<Char>& r = kReplacements<Char, mode>[c];
                std::memcpy(out_, r.chars, sizeof r.chars);
                out_ += r.length;
            } else {
                *out_++ = static_cast<Char>(c);
            }
            ++p;
            return;
        }
        if constexpr (transcode) {
            *out_++ = static_cast<Char>(decode(p));
        } else {
            *out_++ = static_cast<Char>(c);
            ++p;
        }
    }

#if defined(__SSE2__)
    // 16 ASCII bytes as 16 characters.
    void store_block(__m128i v) noexcept {
        if constexpr (sizeof(Char) == 1) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out_), v);
        } else {
            const __m128i zero = _mm_setzero_si128();
            const __m128i low = _mm_unpacklo_epi8(v, zero);
            const __m128i high = _mm_unpackhi_epi8(v, zero);
            if constexpr (sizeof(Char) == 2) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out_), low);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out_) + 1, high);
            } else {
                auto* o = reinterpret_cast<__m128i*>(out_);
                _mm_storeu_si128(o, _mm_unpacklo_epi16(low, zero));
                _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(low, zero));
                _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(high, zero));
                _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(high, zero));
            }
        }
    }
#endif

    // Writes from p until at least `stop` (a character may run a few bytes
    // past it), never past `end`; returns where it stopped.
    template <EscapeMode mode, bool escape>
    const unsigned char* put_fast(const unsigned char* p, const unsigned char* stop,
                                  const unsigned char* end) noexcept {
#if defined(__SSE2__)
        while (p < stop) {
            if (end - p < 16) {
                // The last bytes: padded with zeros to one block when they
                // are plain ASCII, else one by one.
                const size_t n = static_cast<size_t>(end - p);
                const __m128i v = escape_detail::load_short(p, n);
                unsigned special = 0;
                if constexpr (escape) special = escape_detail::escape_mask16_of<mode>(v);
                if constexpr (transcode) special |= static_cast<unsigned>(_mm_movemask_epi8(v));
                if (!special) {
                    store_block(v);
                    out_ += n;
                    return end;
                }
                while (p < end) put_one<mode, escape>(p);
                return end;
            }
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            unsigned escapes = 0;
            if constexpr (escape) escapes = escape_detail::escape_mask16_of<mode>(v);
            unsigned wide = 0;
            if constexpr (transcode) wide = static_cast<unsigned>(_mm_movemask_epi8(v));
            if (!(escapes | wide)) {
                store_block(v);
                out_ += 16;
                p += 16;
                continue;
            }
            const unsigned after_first = escapes & (escapes - 1);
            if (!wide && (after_first & (after_first - 1)) == 0) {
                // At most two escapes: the run before the first one as a block, then
                // its replacement; the scan goes on right after it.
                const unsigned k = static_cast<unsigned>(std::countr_zero(escapes));
                store_block(v);
                out_ += k;
                p += k;
                put_one<mode, escape>(p);
                continue;
            }
            // Dense escapes or non-ASCII characters: one character at a time
            // through the table to the end of the block.
            const unsigned char* const block_end = p + 16;
            while (p < block_end) put_one<mode, escape>(p);
        }
        return p;
#else
        (void)stop;
        while (p < end) put_one<mode, escape>(p);
        return p;
#endif
    }

    // The same, checking the room before every character.
    template <EscapeMode mode, bool escape>
    void put_checked(const unsigned char* p, const unsigned char* end) noexcept {
        while (p < end) {
            if (overflow_ || room() < 8) {
                // Too close to the end for an unchecked replacement: write
                // this character through a scratch buffer.
                Char scratch[8];
                Char* const saved = out_;
                Char* const saved_end = end_;
                out_ = scratch;
                end_ = scratch + 8;
                put_one<mode, escape>(p);
                const size_t length = static_cast<size_t>(out_ - scratch);
                out_ = saved;
                end_ = saved_end;
                if (overflow_ || length > room()) {
                    overflow_ = true;
                    return;
                }
                std::memcpy(out_, scratch, length * sizeof(Char));
                out_ += length;
                continue;
            }
            put_one<mode, escape>(p);
        }
    }

    Char* out_;
    Char* end_;
    bool overflow_ = false;
};

template <class Char, bool transcode>
bool write_into(const FlatSnapshot& snapshot, uint64_t indent_width, bool declaration, void* buffer,
                uint64_t characters) {
    Char* const begin = static_cast<Char*>(buffer);
    CharEmitter<Char, transcode> out(begin, begin + characters);
    if (declaration) (void)out.literal(XML_DECLARATION);
    (void)write_flat(snapshot, indent_width, out);
    return out.filled_exactly();
}

}  // namespace

bool write_flat_chars(const FlatSnapshot& snapshot, uint64_t indent_width, bool declaration, void* buffer,
                      unsigned char_size, bool ascii, uint64_t characters) {
    switch (char_size) {
        case 1:
            return ascii ? write_into<uint8_t, false>(snapshot, indent_width, declaration, buffer, characters)
                         : write_into<uint8_t, true>(snapshot, indent_width, declaration, buffer, characters);
        case 2: return write_into<uint16_t, true>(snapshot, indent_width, declaration, buffer, characters);
        case 4: return write_into<uint32_t, true>(snapshot, indent_width, declaration, buffer, characters);
        default: return false;
    }
}

}  // namespace brindxml
