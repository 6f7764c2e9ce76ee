// Reference decoding: the decoding table, numeric references, attribute-mode
// line breaks, "unchanged" versus one Owned result, errors and their offsets.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "read/decode_references.hpp"

#include "check.hpp"

using namespace brindxml;

namespace {




constexpr ReferenceMode T = ReferenceMode::Text;
constexpr ReferenceMode A = ReferenceMode::Attribute;

// "=" marks an input returned unchanged (no allocation); anything else is the
// expected decoded bytes; "!" starts the expected error display.
struct Case {
    std::string_view input;
    ReferenceMode mode;
    std::string_view expected;
};

using namespace std::string_view_literals;

const Case kCases[] = {
    // Nothing to decode: the input itself, in both modes.
    {"plain text", T, "="},
    {"plain text", A, "="},
    {"", T, "="},
    {"a > b ; c", T, "="},
    {"caf\xC3\xA9 \xE2\x82\xAC", A, "="},
    // Text mode keeps line breaks and tabs, and so needs no copy for them.
    {"l1\r\nl2\tl3\nl4", T, "="},
    // Attribute mode: CR LF is one space, every other TAB, LF, CR one each.
    {"l1\r\nl2\tl3\nl4", A, "l1 l2 l3 l4"},
    {"\r\r\n\n\r", A, "    "},  // CR, CR LF, LF, CR
    {"\t", A, " "},
    {"x\r", A, "x "},
    // The five entities, anywhere, case-sensitive.
    {"a &lt; b", T, "a < b"},
    {"&lt;&gt;&amp;&quot;&apos;", T, "<>&\"'"},
    {"&amp;lt;", T, "&lt;"},
    {"&amp;", A, "&"},
    {"&LT;", T, "!unknown entity reference '&LT;' at byte 100"},
    // Numeric references: decimal, lowercase-x hex, one `+`, leading zeros.
    {"&#65;", T, "A"},
    {"&#x41;", T, "A"},
    {"&#xa9;&#xA9;", T, "\xC2\xA9\xC2\xA9"},
    {"&#+65;", T, "A"},
    {"&#x+41;", T, "A"},
    {"&#0065;", T, "A"},
    {"&#0;", T, "\0"sv},
    {"&#x7FF;&#x800;", T, "\xDF\xBF\xE0\xA0\x80"},
    {"&#xFFFF;&#x10000;", T, "\xEF\xBF\xBF\xF0\x90\x80\x80"},
    {"&#1114111;", T, "\xF4\x8F\xBF\xBF"},
    {"&#xD7FF;&#xE000;", T, "\xED\x9F\xBF\xEE\x80\x80"},
    // A reference to a line break stays a line break, also in attribute mode.
    {"&#10;&#9;&#13;", A, "\n\t\r"},
    {"a\n&#10;", A, "a \n"},
    // Invalid numeric references.
    {"&#X41;", T, "!malformed XML at byte 100: invalid character reference '&#X41;'"},
    {"&#-65;", T, "!malformed XML at byte 100: invalid character reference '&#-65;'"},
    {"&#;", T, "!malformed XML at byte 100: invalid character reference '&#;'"},
    {"&#x;", T, "!malformed XML at byte 100: invalid character reference '&#x;'"},
    {"&#+;", T, "!malformed XML at byte 100: invalid character reference '&#+;'"},
    {"&#x-41;", T, "!malformed XML at byte 100: invalid character reference '&#x-41;'"},
    {"&#++65;", T, "!malformed XML at byte 100: invalid character reference '&#++65;'"},
    {"&#+x41;", T, "!malformed XML at byte 100: invalid character reference '&#+x41;'"},
    {"&#6 5;", T, "!malformed XML at byte 100: invalid character reference '&#6 5;'"},
    {"&#xg;", T, "!malformed XML at byte 100: invalid character reference '&#xg;'"},
    {"&#xD800;", T, "!malformed XML at byte 100: invalid character reference '&#xD800;'"},
    {"&#57343;", T, "!malformed XML at byte 100: invalid character reference '&#57343;'"},
    {"&#1114112;", T, "!malformed XML at byte 100: invalid character reference '&#1114112;'"},
    {"&#x110000;", T, "!malformed XML at byte 100: invalid character reference '&#x110000;'"},
    // Beyond 32 bits: overflow is invalid, not wrapped (2^32 + 65 would wrap to 'A').
    {"&#4294967361;", T, "!malformed XML at byte 100: invalid character reference '&#4294967361;'"},
    {"&#x100000041;", T, "!malformed XML at byte 100: invalid character reference '&#x100000041;'"},
    // Unknown names, the empty name included; the name runs to the first `;`.
    {"&copy;", T, "!unknown entity reference '&copy;' at byte 100"},
    {"&;", T, "!unknown entity reference '&;' at byte 100"},
    {"AT&T and more; text", T, "!unknown entity reference '&T and more;' at byte 102"},
    {"AT&T", T, "!malformed XML at byte 102: unterminated entity reference"},
    {"&lt", A, "!malformed XML at byte 100: unterminated entity reference"},
    // The first bad reference wins; offsets count bytes, multi-byte included.
    {"\xC3\xA9&bad; &#X1;", T, "!unknown entity reference '&bad;' at byte 102"},
    {"\xE2\x82\xAC&lt;&#xZ;", T, "!malformed XML at byte 107: invalid character reference '&#xZ;'"},
    {"x\r\n&amp;&", A, "!malformed XML at byte 108: unterminated entity reference"},
};

void test_cases() {
    const uint64_t base = 100;
    for (const Case& c : kCases) {
        const std::string what = std::string(c.mode == T ? "text" : "attribute") + " \"" + printable(c.input) + "\"";
        auto result = decode_references(c.input, base, c.mode);
        if (c.expected.substr(0, 1) == "!") {
            const std::string got = result.ok() ? "(ok)" : result.error().display();
            check(got == c.expected.substr(1), what + ": got \"" + got + "\"");
        } else if (!result.ok()) {
            check(false, what + ": unexpected error " + result.error().display());
        } else if (c.expected == "=") {
            check(!result.value().changed && result.value().decoded.empty(), what + ": expected unchanged");
        } else {
            const DecodedText& d = result.value();
            check(d.changed && !d.decoded.is_view() && d.decoded.bytes() == c.expected,
                  what + ": got \"" + printable(d.decoded.bytes()) + "\", expected \"" + printable(c.expected) + "\"");
        }
    }
}

// The word-at-a-time searches: a reference or line break at every position of
// a long value is found, and decodes to the same result as a short one.
void test_every_position() {
    for (size_t length = 1; length < 40; ++length) {
        for (size_t at = 0; at < length; ++at) {
            std::string input(length, 'v');
            input.replace(at, 1, "&amp;");
            std::string expected(length, 'v');
            expected[at] = '&';
            auto text = decode_references(input, 0, T);
            check(text.ok() && text.value().decoded.bytes() == expected, cat("&amp; at ", std::to_string(at)));
            std::string line(length, 'v');
            line[at] = '\n';
            auto attr = decode_references(line, 0, A);
            std::string spaced = line;
            spaced[at] = ' ';
            check(attr.ok() && attr.value().changed && attr.value().decoded.bytes() == spaced,
                  "LF at " + std::to_string(at));
            auto kept = decode_references(line, 0, T);
            check(kept.ok() && !kept.value().changed, "LF unchanged in text at " + std::to_string(at));
        }
    }
}

}  // namespace

int main() {
    test_cases();
    test_every_position();
    return report();
}
