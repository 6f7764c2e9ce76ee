#include "base/utf8.hpp"

#include <cstdint>

#include "base/bytes.hpp"

namespace brindxml {

namespace {

// `*bad` receives the offset of the first invalid sequence, if there is one.
inline Utf8Kind classify(std::string_view bytes, size_t* bad) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    bool ascii = true;
    while (i < n) {
        // ASCII fast path, sixteen bytes at a time.
        while (i + 16 <= n) {
            if (bytes::high_lanes(bytes::load_word(p + i) | bytes::load_word(p + i + 8))) break;
            i += 16;
        }
        if (i >= n) break;
        unsigned char c = p[i];
        if (c < 0x80) { ++i; continue; }
        ascii = false;
        if (c >= 0xC2 && c <= 0xDF) {
            if (i + 1 >= n || (p[i + 1] & 0xC0) != 0x80) return *bad = i, Utf8Kind::Invalid;
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (i + 2 >= n) return *bad = i, Utf8Kind::Invalid;
            unsigned char c1 = p[i + 1];
            if ((c1 & 0xC0) != 0x80 || (p[i + 2] & 0xC0) != 0x80) return *bad = i, Utf8Kind::Invalid;
            if (c == 0xE0 && c1 < 0xA0) return *bad = i, Utf8Kind::Invalid;   // overlong
            if (c == 0xED && c1 > 0x9F) return *bad = i, Utf8Kind::Invalid;   // surrogates
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (i + 3 >= n) return *bad = i, Utf8Kind::Invalid;
            unsigned char c1 = p[i + 1];
            if ((c1 & 0xC0) != 0x80 || (p[i + 2] & 0xC0) != 0x80 || (p[i + 3] & 0xC0) != 0x80) return *bad = i, Utf8Kind::Invalid;
            if (c == 0xF0 && c1 < 0x90) return *bad = i, Utf8Kind::Invalid;   // overlong
            if (c == 0xF4 && c1 > 0x8F) return *bad = i, Utf8Kind::Invalid;   // above U+10FFFF
            i += 4;
        } else {
            return *bad = i, Utf8Kind::Invalid;
        }
    }
    return ascii ? Utf8Kind::Ascii : Utf8Kind::NonAscii;
}

}  // namespace

Utf8Kind classify_utf8(std::string_view bytes) noexcept {
    size_t bad = 0;
    return classify(bytes, &bad);
}

size_t valid_utf8_prefix(std::string_view bytes) noexcept {
    size_t bad = bytes.size();
    (void)classify(bytes, &bad);
    return bad;
}

}  // namespace brindxml
