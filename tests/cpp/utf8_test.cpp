// UTF-8 classification: the bounds of each sequence length, overlongs,
// surrogates, truncation, and every case again at each position around the
// sixteen-byte ASCII fast path, with and without ASCII after it.
#include <string>
#include <string_view>

#include "base/utf8.hpp"

#include "check.hpp"

using namespace brindxml;
using namespace std::string_view_literals;

namespace {

constexpr Utf8Kind I = Utf8Kind::Invalid;
constexpr Utf8Kind A = Utf8Kind::Ascii;
constexpr Utf8Kind N = Utf8Kind::NonAscii;

struct Case {
    std::string_view input;
    Utf8Kind expected;
};

const Case kCases[] = {
    {"", A},
    {"plain text", A},
    {"\0\x7F"sv, A},  // NUL and DEL are ASCII
    {"\xC2\x80", N},  // U+0080, the first two-byte sequence
    {"\xDF\xBF", N},  // U+07FF, the last
    {"caf\xC3\xA9", N},
    {"\xC0\x80", I},  // overlong NUL
    {"\xC1\xBF", I},  // overlong U+007F
    {"\x80", I},      // continuation byte without a lead
    {"\xBF", I},
    {"\xC3", I},   // truncated
    {"\xC3(", I},  // lead without its continuation
    {"\xC3\xC3\xA9", I},
    {"\xE0\xA0\x80", N},  // U+0800
    {"\xE0\x9F\xBF", I},  // overlong U+07FF
    {"\xED\x9F\xBF", N},  // U+D7FF, below the surrogates
    {"\xED\xA0\x80", I},  // U+D800
    {"\xED\xBF\xBF", I},  // U+DFFF
    {"\xEE\x80\x80", N},  // U+E000
    {"\xEF\xBF\xBF", N},  // U+FFFF
    {"\xE2\x82", I},      // truncated
    {"\xE2(\xA1", I},
    {"\xE2\x82(", I},
    {"\xF0\x90\x80\x80", N},  // U+10000
    {"\xF0\x8F\xBF\xBF", I},  // overlong U+FFFF
    {"\xF4\x8F\xBF\xBF", N},  // U+10FFFF
    {"\xF4\x90\x80\x80", I},  // above U+10FFFF
    {"\xF5\x80\x80\x80", I},
    {"\xF8\x88\x80\x80\x80", I},  // five-byte form
    {"\xF0\x9F\x98", I},          // truncated
    {"\xF0\x9F\x98(", I},
    {"\xF0(\x98\x80", I},
    {"\xFE", I},
    {"\xFF", I},
    {"a\xC3\xA9_\xF0\x9F\x98\x80_", N},
};

const char* name(Utf8Kind kind) {
    switch (kind) {
        case Utf8Kind::Invalid: return "Invalid";
        case Utf8Kind::Ascii: return "Ascii";
        case Utf8Kind::NonAscii: return "NonAscii";
    }
    return "?";
}

void test_table() {
    for (const Case& c : kCases) {
        // ASCII around the case changes no answer, and moves the case across
        // both eight-byte words of the fast path and past its end.
        for (size_t before = 0; before <= 33; ++before) {
            for (size_t after : {size_t{0}, size_t{17}}) {
                const std::string input = std::string(before, 'x') + std::string(c.input) + std::string(after, 'y');
                const Utf8Kind got = classify_utf8(input);
                check(got == c.expected,
                      cat("classify_utf8(\"", printable(input), "\") is ", name(got), ", expected ", name(c.expected)));
            }
        }
    }
}

}  // namespace

int main() {
    test_table();
    return report();
}
