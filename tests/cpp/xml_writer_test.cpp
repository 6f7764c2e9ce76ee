// The serializer with the in-memory sink: layout, escaping, consumption of the
// record tree, deep trees and absurd indents.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/element_record.hpp"
#include "storage/source_text.hpp"
#include "write/escape.hpp"
#include "write/string_sink.hpp"
#include "write/xml_output.hpp"

#include "check.hpp"
#include "records.hpp"

using namespace brindxml;
using namespace brindxml::test;


namespace {




void check_equal(std::string_view got, std::string_view expected, const std::string& what) {
    if (got == expected) {
        ++passed;
    } else {
        ++failed;
        if (got.size() + expected.size() < 2000) {
            std::printf("FAIL: %s\n  got      \"%s\"\n  expected \"%s\"\n", what.c_str(), printable(got).c_str(),
                        printable(expected).c_str());
        } else {
            size_t i = 0;
            while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
            std::printf("FAIL: %s (sizes %zu vs %zu, first difference at %zu)\n", what.c_str(), got.size(),
                        expected.size(), i);
        }
    }
}

// ---- layout -----------------------------------------------------------------

struct LayoutCase {
    const char* what;
    ElementRecord (*build)();
    uint64_t indent;
    bool declaration;
    std::string_view expected;
};

const LayoutCase kLayoutCases[] = {
    {"lone root without declaration", [] { return element("a"); }, 4, false, "<a/>"},
    {"lone root with declaration", [] { return element("a"); }, 4, true,
     "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<a/>"},
    {"attribute, self-closing", [] { return element("a", std::nullopt, {{"k", "v"}}); }, 4, false, "<a k=\"v\"/>"},
    {"empty attribute value", [] { return element("a", std::nullopt, {{"k", ""}}); }, 4, false, "<a k=\"\"/>"},
    {"text only", [] { return element("a", "t"); }, 4, false, "<a>t</a>"},
    {"empty text is present, not self-closing", [] { return element("a", ""); }, 4, false, "<a></a>"},
    {"empty text with declaration", [] { return element("a", ""); }, 4, true,
     "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<a></a>"},
    {"two empty children", [] { return with(element("a"), element("b"), element("c")); }, 4, false,
     "<a>\n    <b/>\n    <c/>\n</a>"},
    {"text then children: first child on the text's line",
     [] { return with(element("a", "t"), element("b"), element("c")); }, 4, false, "<a>t<b/>\n    <c/>\n</a>"},
    {"only child with text", [] { return with(element("a"), element("b", "u")); }, 4, false,
     "<a>\n    <b>u</b>\n</a>"},
    {"empty text then a child", [] { return with(element("a", ""), element("b")); }, 4, false, "<a><b/>\n</a>"},
    {"text at two levels", [] { return with(element("a", "t"), with(element("b", "u"), element("c"))); }, 4, false,
     "<a>t<b>u<c/>\n    </b>\n</a>"},
    {"text below a self-closing sibling", [] { return with(element("a"), element("b"), element("c", "x")); }, 4,
     false, "<a>\n    <b/>\n    <c>x</c>\n</a>"},
    {"indent 0 keeps the line breaks", [] { return with(element("a"), with(element("b"), element("c"))); }, 0, false,
     "<a>\n<b>\n<c/>\n</b>\n</a>"},
    {"indent 2, three levels", [] { return with(element("a"), with(element("b"), element("c"))); }, 2, false,
     "<a>\n  <b>\n    <c/>\n  </b>\n</a>"},
    {"indent 4, three levels", [] { return with(element("a"), with(element("b"), element("c"))); }, 4, false,
     "<a>\n    <b>\n        <c/>\n    </b>\n</a>"},
    {"indent 1, three levels, declaration",
     [] { return with(element("a"), with(element("b"), element("c", "z"))); }, 1, true,
     "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<a>\n <b>\n  <c>z</c>\n </b>\n</a>"},
    {"same child twice is written twice", [] { return with(element("a"), element("b", "x"), element("b", "x")); }, 4,
     false, "<a>\n    <b>x</b>\n    <b>x</b>\n</a>"},
    {"siblings after a closed subtree",
     [] { return with(element("a"), with(element("b"), element("c")), element("d")); }, 1, false,
     "<a>\n <b>\n  <c/>\n </b>\n <d/>\n</a>"},
    {"names and keys are not escaped", [] { return element("a<&\" x", std::nullopt, {{"k&<' ", "v"}}); }, 4, false,
     "<a<&\" x k&<' =\"v\"/>"},
    {"end tag name not escaped", [] { return element("x&y", "t"); }, 4, false, "<x&y>t</x&y>"},
    {"text escapes the five", [] { return element("a", "a<b&c>\"d'e"); }, 4, false,
     "<a>a&lt;b&amp;c&gt;&quot;d&apos;e</a>"},
    {"attribute escapes the five", [] { return element("a", std::nullopt, {{"k", "a<b&c>\"d'e"}}); }, 4, false,
     "<a k=\"a&lt;b&amp;c&gt;&quot;d&apos;e\"/>"},
    {"text keeps TAB CR LF", [] { return element("a", "1\t2\r3\n4"); }, 4, false, "<a>1\t2\r3\n4</a>"},
    {"attribute escapes TAB CR LF", [] { return element("a", std::nullopt, {{"k", "1\t2\r3\n4"}}); }, 4, false,
     "<a k=\"1&#9;2&#13;3&#10;4\"/>"},
    {"other control characters unchanged", [] { return element("a", std::nullopt, {{"k", "\x01\x0b\x0c\x1f\x7f"}}); },
     4, false, "<a k=\"\x01\x0b\x0c\x1f\x7f\"/>"},
    {"non-ASCII unchanged in text", [] { return element("a", "caf\xc3\xa9 \xf0\x9f\x98\x80&"); }, 4, false,
     "<a>caf\xc3\xa9 \xf0\x9f\x98\x80&amp;</a>"},
    {"non-ASCII unchanged in attribute", [] { return element("a", std::nullopt, {{"k", "\xf0\x9f\x98\x80\xc3\xa9<"}}); },
     4, false, "<a k=\"\xf0\x9f\x98\x80\xc3\xa9&lt;\"/>"},
    {"only specials", [] { return element("a", "&&<<>>"); }, 4, false, "<a>&amp;&amp;&lt;&lt;&gt;&gt;</a>"},
    {"special at the end of a long run", [] { return element("a", "abcdefghijklmnopqrstuvwxyz'"); }, 4, false,
     "<a>abcdefghijklmnopqrstuvwxyz&apos;</a>"},
    {"indent 128: last width of one piece", [] { return with(element("a"), element("b")); }, 128, false, ""},
    {"indent 129: spaces appended apart", [] { return with(element("a"), element("b")); }, 129, false, ""},
    {"indent 70 at depth 2", [] { return with(element("a"), with(element("b"), element("c"))); }, 70, false, ""},
};

// The long-indent cases compare against a layout built here.
std::string long_indent_expected(uint64_t indent, bool three_levels) {
    const std::string one(static_cast<size_t>(indent), ' ');
    if (!three_levels) return "<a>\n" + one + "<b/>\n</a>";
    return "<a>\n" + one + "<b>\n" + one + one + "<c/>\n" + one + "</b>\n</a>";
}

void test_layout() {
    for (const LayoutCase& c : kLayoutCases) {
        std::string expected(c.expected);
        if (expected.empty()) expected = long_indent_expected(c.indent, c.indent == 70);
        check_equal(write_xml_string(c.build(), c.indent, c.declaration), expected, c.what);
    }
}

// Attributes come out in the map's own order, whatever it is this run.
void test_attribute_order() {
    ElementRecord e = element("e", "t", {{"one", "1"}, {"two", "&"}, {"three", "3"}, {"four", "4"}, {"five", "5"}});
    std::string expected = "<e";
    const AttrMap order = e.attrs;  // a copy enumerates like the original
    order.for_each([&](const NodeString& key, const NodeString& value) {
        expected += ' ';
        expected += key.bytes();
        expected += "=\"";
        expected += value == "&" ? std::string_view("&amp;") : value.bytes();
        expected += '"';
    });
    expected += ">t</e>";
    check_equal(write_xml_string(std::move(e), 4, false), expected, "attributes in map order");
}

// ---- escaping -----------------------------------------------------------------

std::string reference_escape(std::string_view text, EscapeMode mode) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool escaped = c == '&' || c == '<' || c == '>' || c == '"' || c == '\'' ||
                             (mode == EscapeMode::Attribute && (c == '\t' || c == '\r' || c == '\n'));
        if (!escaped) out += static_cast<char>(c);
        else if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else if (c == '\'') out += "&apos;";
        else if (c == '\t') out += "&#9;";
        else if (c == '\r') out += "&#13;";
        else out += "&#10;";
    }
    return out;
}

bool is_special(unsigned char c, EscapeMode mode) {
    return c == '&' || c == '<' || c == '>' || c == '"' || c == '\'' ||
           (mode == EscapeMode::Attribute && (c == '\t' || c == '\r' || c == '\n'));
}

using Scan = const char* (*)(const char*, const char*);

struct Scanner {
    const char* name;
    Scan text;
    Scan attribute;
};

const Scanner kScanners[] = {
    {"by words", find_escape_by_words<EscapeMode::Text>, find_escape_by_words<EscapeMode::Attribute>},
#if defined(__SSE2__)
    {"by vectors", find_escape_by_vectors<EscapeMode::Text>, find_escape_by_vectors<EscapeMode::Attribute>},
#endif
    {"chosen", find_escape<EscapeMode::Text>, find_escape<EscapeMode::Attribute>},
};

// Every byte value at every position of the blocks, words and tail, among
// fillers that cycle through every byte the mode does not escape (the
// neighbours of the targets included), so that a false hit or a miss in any
// lane shows up.
void test_find_escape_every_byte_every_lane() {
    for (const Scanner& scanner : kScanners) {
        for (EscapeMode mode : {EscapeMode::Text, EscapeMode::Attribute}) {
            const Scan scan = mode == EscapeMode::Text ? scanner.text : scanner.attribute;
            std::vector<unsigned char> plain;
            for (int c = 0; c < 256; ++c)
                if (!is_special(static_cast<unsigned char>(c), mode)) plain.push_back(static_cast<unsigned char>(c));
            int wrong = 0;
            for (size_t length : std::initializer_list<size_t>{1, 7, 8, 9, 15, 16, 17, 24, 40, 63, 64, 65, 100, 131}) {
                for (size_t at = 0; at < length; ++at) {
                    for (int b = 0; b < 256; ++b) {
                        std::string buffer(length, ' ');
                        for (size_t i = 0; i < length; ++i)
                            buffer[i] = static_cast<char>(plain[(static_cast<size_t>(b) * 7 + at + i) % plain.size()]);
                        buffer[at] = static_cast<char>(b);
                        const char* found = scan(buffer.data(), buffer.data() + length);
                        const size_t expected = is_special(static_cast<unsigned char>(b), mode) ? at : length;
                        if (static_cast<size_t>(found - buffer.data()) != expected) ++wrong;
                    }
                }
            }
            check(wrong == 0, std::string("find_escape ") + scanner.name + " exact in every lane, mode " +
                                  (mode == EscapeMode::Text ? "Text" : "Attribute") + ", wrong: " + std::to_string(wrong));
        }
    }
}

// The first of several specials wins, in either word of a block.
void test_find_escape_first_of_many() {
    struct Case {
        std::string_view text;
        size_t expected_text;
        size_t expected_attribute;
    };
    const Case cases[] = {
        {"abcdefghijklmnop", 16, 16},
        {"abcdefgh\nijklmno&", 16, 8},
        {"abcdefghijklmn'&", 14, 14},
        {"abcdefg\"<bcdefgh", 7, 7},
        {"\r\t\n\"", 3, 0},
        {"0123456789abcdefghij>", 20, 20},
        {"", 0, 0},
        {"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef&", 80, 80},
        {"0123456789abcdef0123456789abcdef0123456789abcdef012345678\t<cdef0123456789abcdef", 58, 57},
        {"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde\"", 63, 63},
    };
    for (const Scanner& scanner : kScanners) {
        for (const Case& c : cases) {
            const char* b = c.text.data();
            const char* e = b + c.text.size();
            check(static_cast<size_t>(scanner.text(b, e) - b) == c.expected_text,
                  std::string("first special (Text, ") + scanner.name + ") in \"" + printable(c.text) + "\"");
            check(static_cast<size_t>(scanner.attribute(b, e) - b) == c.expected_attribute,
                  std::string("first special (Attribute, ") + scanner.name + ") in \"" + printable(c.text) + "\"");
        }
    }
}

// Pseudo-random texts with specials at random places, long enough to run
// through many words, against a byte-by-byte reference.
void test_write_escaped_against_reference() {
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    const char alphabet[] = "abcXYZ 019&<>\"'\t\r\n\x80\xc3\xa9=;#";
    int mismatches = 0;
    for (int round = 0; round < 300; ++round) {
        std::string text(static_cast<size_t>(next() % 300), ' ');
        const uint64_t density = next() % 40 + 1;
        for (char& c : text) c = next() % density == 0 ? alphabet[next() % (sizeof alphabet - 1)] : 'q';
        for (EscapeMode mode : {EscapeMode::Text, EscapeMode::Attribute}) {
            StringSink sink;
            (void)write_escaped(sink, text, mode);
            if (sink.bytes() != reference_escape(text, mode)) ++mismatches;
        }
    }
    check(mismatches == 0, "write_escaped matches a byte-by-byte reference, mismatches: " + std::to_string(mismatches));
}

// ---- consumption ----------------------------------------------------------------

// Views keep the document alive through its count; writing the tree must give
// every share back.
void test_views_released_after_writing() {
    SourceText* source = SourceText::copy_of("root<x>&chi");
    ElementRecord root;
    root.name = NodeString::view(source, 0, 4);
    root.attrs = AttrMap::with_new_keys(1);
    root.attrs.insert_new(NodeString::view(source, 0, 4), NodeString::view(source, 4, 7));
    ElementRecord child;
    child.name = NodeString::view(source, 8, 11);
    child.text = NodeString::view(source, 7, 8);
    root.children.push_back(std::move(child));
    root.children.push_back(element("plain"));
    check(source->reference_count() == 6, "six shares before writing");
    check_equal(write_xml_string(std::move(root), 2, false),
                "<root root=\"&lt;x&gt;\">\n  <chi>&amp;</chi>\n  <plain/>\n</root>", "views written like owned strings");
    check(source->reference_count() == 1, "every share released once written, left: " +
                                              std::to_string(source->reference_count()));
    source->release();
}

// ---- depth and size limits ---------------------------------------------------------

void test_million_levels() {
    constexpr int kLevels = 1000000;
    ElementRecord tree = element("d", "x");
    for (int i = 1; i < kLevels; ++i) {
        ElementRecord parent = element("d");
        parent.children.push_back(std::move(tree));
        tree = std::move(parent);
    }
    std::string expected;
    expected.reserve(kLevels * 9);
    for (int i = 1; i < kLevels; ++i) expected += i == 1 ? "<d>" : "\n<d>";
    expected += "\n<d>x</d>";
    for (int i = 1; i < kLevels; ++i) expected += "\n</d>";
    check_equal(write_xml_string(std::move(tree), 0, false), expected, "1,000,000 nested levels");
}

struct HugeIndentCase {
    const char* what;
    uint64_t indent;
    int levels;                // levels below the root
    bool ancestors_have_text;  // then the first line break is the deepest one
    bool reaches_allocator;    // AddressSanitizer stops the process there instead of throwing
};

const HugeIndentCase kHugeIndentCases[] = {
    {"indent beyond max_size at depth 1", uint64_t{1} << 63, 1, false, false},
    {"indent × depth beyond 64 bits", UINT64_MAX, 3, true, false},
    {"indent × depth that wraps to 2 in 64 bits", (uint64_t{1} << 63) + 1, 3, true, false},
    {"an indent no allocation can hold (1 TB)", uint64_t{1} << 40, 1, false, true},
    {"an indent just under max_size", uint64_t{1} << 61, 1, false, true},
};

void test_huge_indent_throws_bad_alloc() {
    for (const HugeIndentCase& c : kHugeIndentCases) {
#ifdef __SANITIZE_ADDRESS__
        if (c.reaches_allocator) continue;
#endif
        ElementRecord tree = element("leaf");
        for (int i = 0; i < c.levels; ++i) {
            tree = with(c.ancestors_have_text ? element("n", "text") : element("n"), std::move(tree));
        }
    bool threw = false;
        try {
            (void)write_xml_string(std::move(tree), c.indent, true);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        check(threw, c.what);
    }
    // The writer is usable again afterwards: nothing was left behind.
    check_equal(write_xml_string(with(element("a"), element("b")), 3, false), "<a>\n   <b/>\n</a>",
                "write after bad_alloc");
}

// A text larger than the file buffer written into memory, with specials at
// both edges.
void test_large_text() {
    std::string text = "<" + std::string(100000, 'z') + ">";
    check_equal(write_xml_string(element("a", text), 4, false),
                "<a>&lt;" + std::string(100000, 'z') + "&gt;</a>", "100,000-byte text");
}

}  // namespace

int main() {
    test_layout();
    test_attribute_order();
    test_find_escape_every_byte_every_lane();
    test_find_escape_first_of_many();
    test_write_escaped_against_reference();
    test_views_released_after_writing();
    test_million_levels();
    test_huge_indent_throws_bad_alloc();
    test_large_text();
    return report();
}
