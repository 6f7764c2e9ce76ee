#include "read/decode_references.hpp"

#include <cstring>
#include <string>

#include "base/bytes.hpp"

namespace brindxml {

namespace {

// The next byte that decoding has to look at: `&`, and in attribute mode
// also TAB, LF and CR.
uint64_t next_special(const char* p, uint64_t from, uint64_t n, ReferenceMode mode) noexcept {
    if (mode == ReferenceMode::Text) return bytes::find_byte_near(p, from, n, '&');
    return bytes::find_any<'&', '\t', '\n', '\r'>(p, from, n);
}

char predefined_entity(std::string_view name) noexcept {
    switch (name.size()) {
        case 2:
            if (name == "lt") return '<';
            if (name == "gt") return '>';
            break;
        case 3:
            if (name == "amp") return '&';
            break;
        case 4:
            if (name == "quot") return '"';
            if (name == "apos") return '\'';
            break;
        default:
            break;
    }
    return 0;
}

int digit_value(char c, bool hex) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The scalar value named by the text after `&#`, or -1 when it names none.
// Only a lowercase `x` selects hexadecimal; one leading `+` is allowed.
int64_t character_reference_value(std::string_view number) noexcept {
    bool hex = false;
    if (!number.empty() && number[0] == 'x') {
        hex = true;
        number.remove_prefix(1);
    }
    if (!number.empty() && number[0] == '+') number.remove_prefix(1);
    if (number.empty()) return -1;
    const uint64_t radix = hex ? 16 : 10;
    uint64_t value = 0;
    for (char c : number) {
        const int digit = digit_value(c, hex);
        if (digit < 0) return -1;
        value = value * radix + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFu) return -1;  // the value is accumulated in 32 bits
    }
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return -1;
    return static_cast<int64_t>(value);
}

uint64_t put_utf8(char* out, uint32_t cp) noexcept {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

uint64_t first_special(std::string_view raw, ReferenceMode mode) noexcept {
    return next_special(raw.data(), 0, raw.size(), mode);
}

Result<uint64_t, ReadError> decode_into(std::string_view raw, uint64_t first, char* out, uint64_t base_offset,
                                        ReferenceMode mode) {
    const char* p = raw.data();
    const uint64_t n = raw.size();
    uint64_t i = first;
    std::memcpy(out, p, static_cast<size_t>(i));

    uint64_t o = i;
    while (i < n) {
        const char c = p[i];
        if (c != '&') {  // TAB, LF or CR in attribute mode
            out[o++] = ' ';
            i += (c == '\r' && i + 1 < n && p[i + 1] == '\n') ? 2 : 1;
        } else {
            const uint64_t semicolon = bytes::find_byte(p, i + 1, n, ';');
            if (semicolon == n) return ReadError::malformed(base_offset + i, "unterminated entity reference");
            const std::string_view name(p + i + 1, static_cast<size_t>(semicolon - i - 1));
            if (const char replacement = predefined_entity(name)) {
                out[o++] = replacement;
            } else if (!name.empty() && name[0] == '#') {
                const int64_t value = character_reference_value(name.substr(1));
                if (value < 0)
                    return ReadError::malformed(base_offset + i,
                                                "invalid character reference '&" + std::string(name) + ";'");
                o += put_utf8(out + o, static_cast<uint32_t>(value));
            } else {
                return ReadError::unknown_entity(base_offset + i, std::string(name));
            }
            i = semicolon + 1;
        }
        const uint64_t next = next_special(p, i, n, mode);
        std::memcpy(out + o, p + i, static_cast<size_t>(next - i));
        o += next - i;
        i = next;
    }
    return o;
}

}  // namespace brindxml
