// libFuzzer target for reference decoding. Every input is decoded in both
// modes and compared with a plain byte-by-byte model of the decoding rules
// (same outcome, same bytes, same error and offset). On top of that it checks
// what callers rely on: an input with nothing to decode comes back unchanged
// and unallocated, the output is never longer than the input and is UTF-8
// when the input is, and decoding what the writer's escaping made of the
// output gives the output back.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "base/utf8.hpp"
#include "read/decode_references.hpp"
#include "write/escape.hpp"
#include "write/string_sink.hpp"

using namespace brindxml;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// What decoding should give: nothing (input unchanged), bytes, or an error.
struct Expected {
    std::optional<std::string> decoded;  // absent: unchanged or error
    std::optional<ReadError> error;
};

std::optional<uint32_t> model_character_reference(std::string_view number) {
    uint32_t radix = 10;
    if (!number.empty() && number.front() == 'x') {
        radix = 16;
        number.remove_prefix(1);
    }
    if (!number.empty() && number.front() == '+') number.remove_prefix(1);
    if (number.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : number) {
        uint32_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
        else if (radix == 16 && c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (radix == 16 && c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
        else return std::nullopt;
        value = value * radix + digit;
        if (value > UINT32_MAX) return std::nullopt;
    }
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
    return static_cast<uint32_t>(value);
}

// UTF-8 by the table of sequence lengths, written independently of the decoder's.
void model_append_utf8(std::string& out, uint32_t cp) {
    if (cp <= 0x7F) {
        out += static_cast<char>(cp);
        return;
    }
    const size_t length = cp <= 0x7FF ? 2 : cp <= 0xFFFF ? 3 : 4;
    const unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    std::string bytes(length, '\0');
    for (size_t k = length - 1; k > 0; --k) {
        bytes[k] = static_cast<char>(0x80 | (cp & 0x3F));
        cp >>= 6;
    }
    bytes[0] = static_cast<char>(lead[length] | cp);
    out += bytes;
}

Expected model_decode(std::string_view raw, uint64_t base, ReferenceMode mode) {
    const bool attribute = mode == ReferenceMode::Attribute;
    const auto is_break = [&](char c) { return attribute && (c == '\t' || c == '\n' || c == '\r'); };
    bool special = false;
    for (char c : raw) special = special || c == '&' || is_break(c);
    if (!special) return {};

    std::string out;
    size_t i = 0;
    while (i < raw.size()) {
        const char c = raw[i];
        if (is_break(c)) {
            out += ' ';
            i += c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n' ? size_t{2} : size_t{1};
            continue;
        }
        if (c != '&') {
            out += c;
            ++i;
            continue;
        }
        const size_t semicolon = raw.find(';', i + 1);
        if (semicolon == std::string_view::npos)
            return {std::nullopt, ReadError::malformed(base + i, "unterminated entity reference")};
        const std::string name(raw.substr(i + 1, semicolon - i - 1));
        if (name == "lt") out += '<';
        else if (name == "gt") out += '>';
        else if (name == "amp") out += '&';
        else if (name == "quot") out += '"';
        else if (name == "apos") out += '\'';
        else if (!name.empty() && name[0] == '#') {
            const auto value = model_character_reference(std::string_view(name).substr(1));
            if (!value)
                return {std::nullopt, ReadError::malformed(base + i, "invalid character reference '&" + name + ";'")};
            model_append_utf8(out, *value);
        } else {
            return {std::nullopt, ReadError::unknown_entity(base + i, name)};
        }
        i = semicolon + 1;
    }
    return {std::move(out), std::nullopt};
}

std::string escaped(std::string_view text, ReferenceMode mode) {
    StringSink sink;
    (void)write_escaped(sink, text, mode == ReferenceMode::Text ? EscapeMode::Text : EscapeMode::Attribute);
    return std::string(sink.bytes());
}

void check_mode(std::string_view raw, uint64_t base, ReferenceMode mode, bool valid_utf8) {
    auto result = decode_references(raw, base, mode);
    const Expected expected = model_decode(raw, base, mode);
    if (!result) {
        const ReadError& error = result.error();
        require(expected.error.has_value());
        require(error.kind == expected.error->kind && error.offset == expected.error->offset &&
                error.text == expected.error->text);
        require(error.offset >= base && error.offset - base < raw.size() && raw[error.offset - base] == '&');
        return;
    }
    require(!expected.error);
    DecodedText& decoded = result.value();
    if (!decoded.changed) {
        require(!expected.decoded);
        return;
    }
    require(expected.decoded.has_value());
    const std::string_view out = decoded.decoded.bytes();
    require(out == *expected.decoded);
    require(!decoded.decoded.is_view());
    require(out.size() <= raw.size());
    if (valid_utf8) require(is_valid_utf8(out));

    // What the writer makes of the decoded text decodes back to it.
    const std::string written = escaped(out, mode);
    auto again = decode_references(written, 0, mode);
    require(again.ok());
    require(again.value().changed ? again.value().decoded.bytes() == out : std::string_view(written) == out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const bool valid_utf8 = is_valid_utf8(raw);
    // Offsets of runs deep inside a large document, without a large input.
    const uint64_t base = (size * 0x9E3779B97F4A7C15ULL) >> 24;
    check_mode(raw, base, ReferenceMode::Text, valid_utf8);
    check_mode(raw, base, ReferenceMode::Attribute, valid_utf8);
    return 0;
}
