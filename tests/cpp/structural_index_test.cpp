// The structural index on the edge cases of its rules, checked with both
// scanners: each case must give the same index (or error) from each.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "index/scanners.hpp"
#include "index/structural_index.hpp"

#include "check.hpp"

using namespace brindxml;

namespace {




// One line per index: tags as KIND start-end:name, text ranges as t start-end,
// in document order of their starts; or "E offset" for an error ("U offset"
// for an unterminated document type declaration).
// Kinds: O open, C close, S self-closing, M comment, D CDATA, P processing instruction.
std::string describe(Result<StructuralIndex, IndexError> result) {
    if (!result.ok()) {
        const bool doctype = result.error().reason == IndexError::Reason::UnterminatedDoctype;
        return cat(doctype ? "U" : "E", std::to_string(result.error().offset));
    }
    const StructuralIndex& index = result.value();
    std::string out;
    uint64_t t = 0;
    auto add = [&out](const std::string& item) {
        if (!out.empty()) out += ' ';
        out += item;
    };
    for (uint64_t i = 0; i < index.tag_count(); ++i) {
        while (t < index.text_count() && index.text(t).start < index.tag_start(i)) {
            add(cat("t", std::to_string(index.text(t).start), "-", std::to_string(index.text(t).end)));
            ++t;
        }
        static const char kKinds[] = "OCSMDP";
        std::string item(1, kKinds[static_cast<int>(index.tag_kind(i))]);
        item += cat(std::to_string(index.tag_start(i)), "-", std::to_string(index.tag_end(i)));
        const TagKind kind = index.tag_kind(i);
        if (kind != TagKind::Comment && kind != TagKind::CData) item += cat(":", index.name(i));
        else if (index.name_offset(i) != 0 || index.name_length(i) != 0) item += ":?";
        add(item);
    }
    for (; t < index.text_count(); ++t)
        add(cat("t", std::to_string(index.text(t).start), "-", std::to_string(index.text(t).end)));
    return out;
}

struct Case {
    std::string_view input;
    std::string_view expected;
};

const Case kCases[] = {
    // Empty document, plain elements, text between constructs only.
    {"", ""},
    {"<a>x</a>", "O0-2:a t3-4 C4-7:a"},
    {"<a/>tail", "S0-3:a"},
    {"lead<a/>", "t0-4 S4-7:a"},
    {"<a />", "S0-4:a"},
    {"<a/ >", "O0-4:a"},
    {"<a\tb=\"1\"\n/>", "S0-10:a"},
    {"<1-x y.z:w=\"v\"/>", "S0-15:1-x"},
    // A `<` as the last byte is an error, after text or after a tag. An error
    // discards the partial index.
    {"<a><", "E3"},
    {"abc<", "E3"},
    // Quotes inside start tags hide `>`; the matching quote is of the same kind.
    {"<a b=\"x>y\">", "O0-10:a"},
    {"<a b='x\"y'>", "O0-10:a"},
    {"<a b=\"x'>'\" c='>'>", "O0-17:a"},
    // An unmatched quote skips itself and the byte after it.
    {"<a b=\"x>", "O0-7:a"},
    {"<a b=\">", "E0"},
    {"<a b=\"x/>", "S0-8:a"},
    {"<a b=\"/>", "O0-7:a"},
    {"<a b=\"/>/>", "O0-7:a"},
    // Quotes in character data mean nothing.
    {"<a>it's <b>x</b>, isn't</a>", "O0-2:a t3-8 O8-10:b t11-12 C12-15:b t16-23 C23-26:a"},
    // Unclosed tags and end tags.
    {"<a>x</a", "E4"},
    {"</", "E0"},
    {"</a b", "E0"},
    {"<a", "E0"},
    {"<a ", "E0"},
    {"<a b='1' ", "E0"},
    {"</a x>", "C0-5:a"},
    {"</a/>", "C0-4:a/"},
    {"</a\t\n>", "C0-5:a"},
    // Empty names are indexed; the tree builder rejects them.
    {"<>", "O0-1:"},
    {"< a>", "O0-3:"},
    {"<a>x < y</a>", "O0-2:a t3-5 O5-11:"},
    // Comments: the closing `--` cannot overlap the opening one.
    {"<!---->", "M0-6"},
    {"<!-->", "M0-5"},
    {"<!--->", "M0-6"},
    {"<!-- a -- b -->", "M0-14"},
    {"<!-- <a> -->x<b/>", "M0-11 t12-13 S13-16:b"},
    {"<a><!-- x", "O0-2:a M3-9"},
    {"<a><!-- x --><b/>", "O0-2:a M3-12 S13-16:b"},
    // A comment running to the end stops the scan: nothing after it.
    {"<!-- <a", "M0-7"},
    // CDATA: the content is a text range of its own (listed here after the tag
    // that starts before it); a `<` in it starts nothing.
    {"<![CDATA[a<b]]>", "D0-14 t9-12"},
    {"<![CDATA[]]>", "D0-11"},
    {"<a><![CDATA[x]]></a>", "O0-2:a D3-15 t12-13 C16-19:a"},
    {"<![CDATA[x]]]>", "D0-13 t9-11"},
    // Unterminated CDATA: end is one past the last `]`, or the content start.
    {"<![CDATA[abc", "D0-9"},
    {"<![CDATA[abc<a/>", "D0-9 t10-12 S12-15:a"},
    {"<![CDATA[x]y]]z", "D0-14"},
    {"<![CDATA[ab]", "D0-12"},
    {"<![CDATA[", "D0-9"},
    {"<![CDATA", ""},  // too short for CDATA: a declaration without `>`
    // Processing instructions.
    {"<?xml version=\"1.0\"?><a/>", "P0-20:xml S21-24:a"},
    {"<?a?>", "P0-4:a"},
    {"<?" "?>", "P0-3:"},
    {"<?>", "P0-2:"},
    {"<?pi", "P0-4:pi"},
    {"<?pi x", "P0-5:pi"},
    {"<?pi x<a/>", "P0-9:pi"},
    {"<?pi\n?>x<a/>", "P0-6:pi t7-8 S8-11:a"},
    // A document type declaration is skipped as a whole: quoted literals,
    // the internal subset and the comments and processing instructions in it.
    {"<!DOCTYPE a><a/>", "S12-15:a"},
    {"<!DOCTYPE a [<!ENTITY e \"x\">]><a/>", "S30-33:a"},
    {"<!DOCTYPE a x<b/>", ""},
    {"<!DOCTYPE r [<!-- <b></b> -->]><r/>", "S31-34:r"},
    {"<!DOCTYPE r [<!ENTITY b \"<q>fake</q>\">]><r/>", "S40-43:r"},
    {"<!DOCTYPE r [<!ENTITY b '>]'>]><r/>", "S31-34:r"},
    {"<!DOCTYPE r [<!-- ] > ' -->]><r/>", "S29-32:r"},
    {"<!DOCTYPE r [<?pi ] > \" ?>]><r/>", "S28-31:r"},
    {"<!DOCTYPE r SYSTEM \"a>[b\"><r/>", "S26-29:r"},
    {"<!DOCTYPE r [<!ELEMENT r ANY>\n<!ATTLIST r a CDATA \"x>\">]>\n<r/>", "t57-58 S58-61:r"},
    {"<!DOCTYPE r [] ><r/>", "S16-19:r"},
    {"x<!DOCTYPE r>y<r/>", "t0-1 t13-14 S14-17:r"},
    // An unterminated one is an error at its `<`.
    {"<!DOCTYPE r [<!ENTITY b \"x\">", "U0"},
    {"<a/><!DOCTYPE r [<!ENTITY b \"x>]><r/>", "U4"},
    {"<!DOCTYPE r [<!-- ]><r/>", "U0"},
    {"<!DOCTYPE r [<?pi ]><r/>", "U0"},
    {"<!DOCTYPE r 'x><r/>", "U0"},
    {"<!DOCTYPE", "U0"},
    {"<!DOCTYP", ""},
    // Other declarations are skipped up to the first `>`, quotes or not.
    {"<!x<a>", ""},
    {"a<!b", "t0-1"},
    {"a<!b<c/>", "t0-1"},
    {"<a>x<!b c</a>", "O0-2:a t3-4"},
    {"<!>x<a/>", "t3-4 S4-7:a"},
    {"<!-x>y<a/>", "t5-6 S6-9:a"},
    // Offsets are bytes: multi-byte characters count for each of their bytes.
    {"<\xC3\xA9>\xC3\xBC</\xC3\xA9>", "O0-3:\xC3\xA9 t4-6 C6-10:\xC3\xA9"},
    {"\xE3\x80\x80<a/>", "t0-3 S3-6:a"},
};

void test_cases() {
    for (const Case& c : kCases) {
        const std::string tag = describe(scan_tag_seeking(c.input));
        const std::string bitmap = describe(scan_bitmap(c.input));
        const std::string built = describe(build_structural_index(c.input));
        check(tag == c.expected, "tag-seeking on \"" + std::string(c.input) + "\": got \"" + tag + "\", expected \"" +
                                     std::string(c.expected) + "\"");
        check(bitmap == c.expected, "bitmap on \"" + std::string(c.input) + "\": got \"" + bitmap +
                                        "\", expected \"" + std::string(c.expected) + "\"");
        check(built == c.expected, "build_structural_index on \"" + std::string(c.input) + "\": got \"" + built + "\"");
    }
}

// Names are stored whole: 70,000 bytes (more than 16 bits can count).
void test_long_names() {
    const std::string name(70000, 'n');
    const std::string doc = "<" + name + " k='v'>x</" + name + ">";
    for (auto scanner : {scan_tag_seeking, scan_bitmap}) {
        auto result = scanner(doc);
        check(result.ok(), "long name indexes");
        if (!result.ok()) continue;
        const StructuralIndex& index = result.value();
        check(index.tag_count() == 2 && index.name_length(0) == 70000 && index.name_length(1) == 70000 &&
                  index.name(1) == name,
              "70,000-byte names stored whole");
    }
}

// The tables are sized from the document: one tag per 128 bytes, one text
// range per 256 bytes, nothing below those sizes.
void test_capacities() {
    struct Sizes {
        uint64_t length, tags, texts;
    };
    const Sizes kSizes[] = {{0, 0, 0}, {127, 0, 0}, {128, 1, 0}, {255, 1, 0}, {256, 2, 1}, {100000, 781, 390}};
    for (const Sizes& s : kSizes) {
        const StructuralIndex index(std::string(static_cast<size_t>(s.length), ' '));
        check(index.tag_capacity() == s.tags && index.text_capacity() == s.texts,
              "capacities for " + std::to_string(s.length) + " bytes");
    }
    // Growth beyond the initial capacity keeps every entry.
    std::string doc;
    for (int i = 0; i < 5000; ++i) doc += "<a/>";
    auto result = scan_tag_seeking(doc);
    check(result.ok() && result.value().tag_count() == 5000 && result.value().tag_start(4999) == 4 * 4999,
          "5000 tags in a 20,000-byte document");
}

// The path chosen for the process runs here, and none faster that runs here
// is passed over.
void test_scan_paths() {
    const ScanPath chosen = fastest_scan_path();
    check(scan_path_available(chosen) && scan_path_available(ScanPath::Portable), "the chosen path is available");
#if defined(__x86_64__) || defined(_M_X64)
    const ScanPath best = scan_path_available(ScanPath::Avx2) ? ScanPath::Avx2 : ScanPath::Sse2;
    check(scan_path_available(ScanPath::Sse2) && chosen == best, "x86-64: AVX2 where the processor has it, else SSE2");
#elif defined(__aarch64__) || defined(_M_ARM64)
    check(chosen == ScanPath::Neon, "arm64: NEON");
#else
    check(chosen == ScanPath::Portable, "elsewhere: the portable path");
#endif
    std::printf("scan path chosen: %s\n", scan_path_name(chosen));
}

// The bitmap scanner for more than two `"` per `<`, and a `<` per 128 bytes at
// least, in the first 4096 bytes, where a vector path runs; the tag-seeking
// scanner otherwise.
void test_scanner_choice() {
    const bool vector = fastest_scan_path() != ScanPath::Portable;
    const auto tags = [](int quote_pairs) {
        std::string tag = "<a";
        for (int i = 0; i < quote_pairs; ++i) tag += " k=\"v\"";
        return tag + ">";
    };
    std::string filler;  // 4090 bytes, 409 `<` and 818 `"`
    for (int i = 0; i < 409; ++i) filler += "<a k=\"v\"/>";
    struct Choice {
        std::string doc;
        bool bitmap;
    };
    const Choice kChoices[] = {
        {"", false},
        {"\"\"\"", false},                     // quotes, no `<`
        {tags(1) + "</a>", false},              // two per `<`
        {tags(2) + "</a>" + "\"", vector},       // 2.5 per `<`
        {tags(3) + "</a>", vector},             // three per `<`
        {tags(3) + std::string(200, ' '), false},  // three per `<`, but one `<` in 218 bytes
        {filler + "     \"\"\"", vector},        // one `"` more within the sample, two past it
        {filler + "      \"\"\"", false},        // all three past it
    };
    for (const Choice& c : kChoices)
        check(prefers_bitmap_scanner(c.doc) == c.bitmap,
              cat("scanner for ", printable(c.doc.substr(c.doc.size() > 40 ? c.doc.size() - 40 : 0))));
}

void test_error_display() {
    check(IndexError{42}.display() == "Unclosed tag at byte 42", "index error text");
    check(IndexError{7, IndexError::Reason::UnterminatedDoctype}.display() ==
              "unterminated DOCTYPE declaration at byte 7",
          "unterminated DOCTYPE text");
}

}  // namespace

int main() {
    test_cases();
    test_long_names();
    test_capacities();
    test_scan_paths();
    test_scanner_choice();
    test_error_display();
    return report();
}
