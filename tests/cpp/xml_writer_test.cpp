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
#include "write/flat_snapshot.hpp"
#include "write/flat_writer.hpp"
#include "write/name_check.hpp"
#include "write/snapshot_memory.hpp"
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
    {"text keeps TAB and LF, escapes CR", [] { return element("a", "1\t2\r3\n4\r\n"); }, 4, false,
     "<a>1\t2&#13;3\n4&#13;\n</a>"},
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
        const bool escaped = c == '&' || c == '<' || c == '>' || c == '"' || c == '\'' || c == '\r' ||
                             (mode == EscapeMode::Attribute && (c == '\t' || c == '\n'));
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
    return c == '&' || c == '<' || c == '>' || c == '"' || c == '\'' || c == '\r' ||
           (mode == EscapeMode::Attribute && (c == '\t' || c == '\n'));
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
        {"\r\t\n\"", 0, 0},
        {"\t\n\r\"", 2, 0},
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


// Empty names and keys have no storage (a null data pointer): written as
// nothing, never copied from null, in memory and into a str's buffer (the
// short-buffer path copies with memcpy). UBSan sees a null memcpy source.
void test_empty_names() {
    struct Case {
        const char* what;
        ElementRecord (*build)();
        const char* expected;
    };
    const Case cases[] = {
        {"empty element name", [] { return element(""); }, "</>"},
        {"empty name with text", [] { return element("", ""); }, "<></>"},
        {"empty attribute key", [] { return element("a", std::nullopt, {{"", "v"}}); }, "<a =\"v\"/>"},
        {"empty key and value", [] { return element("a", std::nullopt, {{"", ""}}); }, "<a =\"\"/>"},
        {"empty child name", [] { return with(element("a"), element("")); }, "<a>\n</>\n</a>"},
    };
    for (const Case& c : cases) {
        check_equal(write_xml_string(c.build(), 0, false), c.expected, cat(c.what, " (bytes)"));
        const ElementRecord tree = c.build();
        FlatSnapshot snapshot;
        snapshot.start(0, false, Measure::Exact);
        flatten_record(tree, snapshot);
        const OutputSize size = snapshot.output_size();
        std::string chars(static_cast<size_t>(size.characters), '?');
        const bool filled = write_flat_chars(snapshot, 0, false, chars.data(), 1, true, size.characters);
        check(filled && chars == c.expected, cat(c.what, " (str buffer): ", printable(chars)));
        check(snapshot.unwritable_name().has_value(), cat(c.what, " is found unwritable"));
    }
}

// Names the writer refuses and names it writes.
void test_name_is_writable() {
    const std::pair<std::string_view, bool> cases[] = {
        {"", false},
        {"a", true},
        {"1abc", true},
        {"caf\xc3\xa9", true},
        {"\xe6\x97\xa5\xe6\x9c\xac", true},
        {"\xf0\x9f\x98\x80", true},
        {"a:b-c.d_e", true},
        {"a b", false},
        {"a\tb", false},
        {"a\nb", false},
        {"a\rb", false},
        {std::string_view("a\0b", 3), false},
        {"a\x01", false},
        {"a\x1f", false},
        {"a\x7f", false},
        {"<a", false},
        {"a>", false},
        {"a/b", false},
        {"a=b", false},
        {"a\"b", false},
        {"a'b", false},
        {"a&b", false},
        {"a;b?!#%", true},
        {"a\xc2\x85", false},         // U+0085 NEL
        {"a\xc2\x9f", false},         // U+009F, a C1 control
        {"a\xc2\xa0", false},         // U+00A0 NO-BREAK SPACE
        {"a\xc2\xa1", true},          // U+00A1
        {"a\xe1\x9a\x80", false},     // U+1680
        {"a\xe2\x80\x8a", false},     // U+200A
        {"a\xe2\x80\x8b", true},      // U+200B (not White_Space)
        {"a\xe2\x80\xa8", false},     // U+2028
        {"a\xe2\x81\x9f", false},     // U+205F
        {"a\xe3\x80\x80", false},     // U+3000
        {"0123456789abcdef0123456789abcdef", true},
        {"0123456789abcdef0123456789abcde ", false},  // in a second whole block
        {"0123456789abcdef01234 ", false},            // in a short second block
        {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9 ", false},
    };
    for (const auto& [name, writable] : cases)
        check(name_is_writable(name) == writable, cat("name_is_writable(\"", printable(name), "\")"));
    // Every single byte, against the table.
    for (unsigned c = 0; c < 0x80; ++c) {
        const char name[2] = {'x', static_cast<char>(c)};
        const bool expected = !(c <= 0x20 || c == 0x7F || std::string_view("<>/=\"'&").find(static_cast<char>(c)) !=
                                                               std::string_view::npos);
        check(name_is_writable(std::string_view(name, 2)) == expected, cat("byte ", std::to_string(c)));
    }
}

// The first unwritable name and its place.
void test_unwritable_name_place() {
    const auto tree = [] {
        return with(element("r"), element("a"),
                    with(element("a"), element("x"), element("leaf"), element("y", std::nullopt, {{"k k", "v"}})),
                    with(element("b"), element("c"), element("bad name")), element("late one"));
    };
    const ElementRecord root = tree();
    FlatSnapshot snapshot;
    snapshot.start(4, true, Measure::Bound);
    flatten_record(root, snapshot);
    const std::optional<UnwritableName>& bad = snapshot.unwritable_name();
    check(bad && bad->place == UnwritableName::Place::AttributeKey && bad->name == "k k", "first bad name: a key");
    if (bad) {
        check_equal(snapshot.element_path(bad->element, true), "/r/a[2]/y", "path of the key's element");
        check_equal(snapshot.element_path(bad->element, false), "/r/a[2]/*[3]", "path by place");
    }
    check_equal(snapshot.element_path(0, true), "/r", "the root's path");
    check_equal(snapshot.element_path(0, false), "/*", "the root's path by place");
    // Element names are checked when no key comes first.
    const ElementRecord second = with(element("r"), with(element("b"), element("c"), element("bad name")));
    snapshot.start(4, true, Measure::Exact);
    flatten_record(second, snapshot);
    check(snapshot.unwritable_name() && snapshot.unwritable_name()->name == "bad name" &&
              snapshot.element_path(snapshot.unwritable_name()->element, false) == "/r/b/*[2]",
          "an element name and its place");
    // Without measuring, names are not looked at.
    snapshot.start(4, true, Measure::None);
    flatten_record(second, snapshot);
    check(!snapshot.unwritable_name(), "Measure::None checks no names");
}

// fits_in: the bound decides far from the limit, the exact size near it.
void test_fits_in() {
    const auto tree = [] {
        return with(element("r", "a\r<b>&\"'", {{"k", "\t\n\r\"x"}}), element("c", std::string(1000, '&')));
    };
    const std::string written = write_xml_string(tree(), 3, true);
    const uint64_t exact = written.size();
    for (const Measure measure : {Measure::Exact, Measure::Bound}) {
        const ElementRecord root = tree();
        FlatSnapshot snapshot;
        snapshot.start(3, true, measure);
        flatten_record(root, snapshot);
        const std::string what = measure == Measure::Exact ? "exact" : "bound";
        check(snapshot.fits_in(exact), cat(what, ": fits in its own size"));
        check(!snapshot.fits_in(exact - 1), cat(what, ": not in one byte less"));
        check(snapshot.fits_in(UINT64_MAX), cat(what, ": fits in no limit"));
        check(!snapshot.fits_in(0), cat(what, ": not in nothing"));
    }
    // A count past 64 bits never fits.
    const ElementRecord deep = with(element("a"), with(element("b"), element("c")));
    FlatSnapshot snapshot;
    snapshot.start(UINT64_MAX / 2, false, Measure::Bound);
    flatten_record(deep, snapshot);
    check(!snapshot.fits_in(UINT64_MAX), "an indent past 64 bits does not fit");
}

// The blocks of large snapshots: what the process keeps for later snapshots
// is bounded in all, however many are given back at once.
void test_snapshot_memory_is_bounded() {
    using namespace snapshot_memory;
    std::vector<std::pair<void*, size_t>> blocks;
    for (int i = 0; i < 64; ++i) {
        size_t bytes = size_t{3} << 20;
        void* block = take_block(bytes);
        check(block != nullptr && bytes >= (size_t{3} << 20), "a block is mapped");
        if (block) std::memset(block, 1, bytes);
        blocks.emplace_back(block, bytes);
    }
    for (auto [block, bytes] : blocks) give_block(block, bytes);
    check(cached_bytes() <= kCachedBytes, cat("cache bounded: ", std::to_string(cached_bytes())));
    check(cached_bytes() > 0, "blocks are kept for later");
    size_t huge = kCachedBytes + 4096;
    void* block = take_block(huge);
    const size_t before = cached_bytes();
    give_block(block, huge);
    check(cached_bytes() == before, "a block larger than the cache goes back to the system");
    // A snapshot array grows through malloc, then blocks, and keeps its content.
    FlatArray<uint64_t> array;
    for (uint64_t i = 0; i < 3'000'000; ++i) array.push() = i;
    bool same = array.size() == 3'000'000;
    for (size_t i = 0; same && i < array.size(); i += 997) same = array[i] == uint64_t{i};
    check(same, "a growing array keeps its elements");
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
    test_empty_names();
    test_name_is_writable();
    test_unwritable_name_place();
    test_fits_in();
    test_snapshot_memory_is_bounded();
    return report();
}
