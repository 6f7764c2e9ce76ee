// The tree builder: results, every error message with its exact offset, root
// search at depth, text trimming, views versus owned strings, hash keys,
// source references, long names and a million levels of nesting.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "read/tree_builder.hpp"
#include "base/siphash.hpp"
#include "storage/source_text.hpp"

#include "check.hpp"

using namespace brindxml;

namespace {





// name[text]{k=v,...}(children): text omitted when absent, attributes sorted.
// Iterative, so it also serves the deep documents.
std::string shape(const ElementRecord& root) {
    std::string out;
    struct Step {
        const ElementRecord* record;
        size_t next_child;
    };
    std::vector<Step> stack{{&root, 0}};
    while (!stack.empty()) {
        Step& step = stack.back();
        const ElementRecord& r = *step.record;
        if (step.next_child == 0) {
            out += r.name.bytes();
            if (r.text) out += cat("[", r.text->bytes(), "]");
            if (!r.attrs.empty()) {
                std::vector<std::pair<std::string, std::string>> attrs;
                r.attrs.for_each([&](const NodeString& k, const NodeString& v) {
                    attrs.emplace_back(std::string(k.bytes()), std::string(v.bytes()));
                });
                std::sort(attrs.begin(), attrs.end());
                out += "{";
                for (size_t i = 0; i < attrs.size(); ++i)
                    out += (i ? "," : "") + attrs[i].first + "=" + attrs[i].second;
                out += "}";
            }
            if (!r.children.empty()) out += "(";
        }
        if (step.next_child < r.children.size()) {
            if (step.next_child > 0) out += " ";
            const ElementRecord* child = &r.children[step.next_child++];
            stack.push_back({child, 0});
            continue;
        }
        if (!r.children.empty()) out += ")";
        stack.pop_back();
    }
    return out;
}

// The shape, or "!" and the error's display form.
std::string parse(std::string_view xml, std::string_view root,
                  uint64_t window_tags = IndexWindows::kDefaultWindowTags) {
    SourceRef source(SourceText::copy_of(xml));
    auto result = build_tree(source.get(), root, window_tags);
    if (!result.ok()) return cat("!", result.error().display());
    return shape(std::move(result.value()).nested());
}

struct Case {
    std::string_view xml;
    std::string_view root;
    std::string_view expected;
};

const Case kResults[] = {
    {"<a>1</a>", "a", "a[1]"},
    {"<r><a>1</a></r>", "a", "a[1]"},
    {"<r><a>1</a></r>", "r", "r(a[1])"},
    {"<a x=\"1\"/>", "a", "a{x=1}"},
    {"<a x = '1'\n\ty=\"2\" />", "a", "a{x=1,y=2}"},
    {"<a> x <b/> y </a>", "a", "a[x  y](b)"},
    {"<a>   \n\t </a>", "a", "a"},
    {"<a><b>1</b>2<c/>3</a>", "a", "a[23](b[1] c)"},
    {"<a><![CDATA[<b>&amp;</b>]]></a>", "a", "a[<b>&amp;</b>]"},
    {"<a>x<![CDATA[ ]]>y</a>", "a", "a[x y]"},
    {"<a> <![CDATA[ x ]]> </a>", "a", "a[x]"},
    {"<a>x<!-- c -->y</a>", "a", "a[xy]"},
    // Pieces of every kind, and white space held back until text follows it.
    {"<a>x<b/>&lt;</a>", "a", "a[x<](b)"},
    {"<a>&lt;<b/>x</a>", "a", "a[<x](b)"},
    {"<a>x<b/> <c/>y</a>", "a", "a[x y](b c)"},
    {"<a>x<b/> <c/>\t<d/>y </a>", "a", "a[x \ty](b c d)"},
    {"<a>x<b/> <c/>\t<d/></a>", "a", "a[x](b c d)"},
    {"<a>x<b/> <![CDATA[ ]]><c/>y</a>", "a", "a[x  y](b c)"},
    {"<a>x<?pi data?>y</a>", "a", "a[xy]"},
    {"<a>&lt;&gt;&amp;&quot;&apos;&#65;&#x42;</a>", "a", "a[<>&\"'AB]"},
    {"<a> &#32;x&#32; </a>", "a", "a[x]"},
    {"<a k=\"l1\r\nl2\tl3\nl4\"/>", "a", "a{k=l1 l2 l3 l4}"},
    {"<a k='&#10;'/>", "a", "a{k=\n}"},
    {"<a k='x>y' j=\"'\"/>", "a", "a{j=',k=x>y}"},
    {"<1-x y.z:w=\"v\"/>", "1-x", "1-x{y.z:w=v}"},
    {"<?xml version='1.0'?><!DOCTYPE a><a>t</a>", "a", "a[t]"},
    {"<!DOCTYPE a [<!ELEMENT a ANY>]><a>t</a>", "a", "a[t]"},
    // Text before skipped declarations (small windows end after them).
    {"<a>x<!X>y<!Y>z<b/>w<!Z></a>", "a", "a[xyzw](b)"},
    {"<a></a >", "a", "a"},
    {"<a></a\t\n>", "a", "a"},
    {"<a></a \xC2\xA0\xE3\x80\x80\xE2\x80\xA8>", "a", "a"},
    {"<p>it's <b>bold</b>, isn't it</p>", "p", "p[it's , isn't it](b[bold])"},
    {"<\xC3\xA9 a='\xC3\xBC'>\xC3\xB6</\xC3\xA9>", "\xC3\xA9", "\xC3\xA9[\xC3\xB6]{a=\xC3\xBC}"},
    // The first element with the root's name, at any depth, and only it.
    {"<x><y k=bad><a>1</a></y></x>", "a", "a[1]"},
    {"<a><a>inner</a></a>", "a", "a(a[inner])"},
    {"<r><s/><a/><a>2</a></r>", "a", "a"},
    // Nothing after the root's end tag is looked at, except by the index.
    {"<a>1</a><b>", "a", "a[1]"},
    // An end tag whose name runs to the end fails the index, wherever it is.
    {"<a>1</a>trailing </junk", "a", "!malformed XML: Unclosed tag at byte 17"},
    {"<a>1</a></b>&bad;<c x=1>", "a", "a[1]"},
    // Outer start tags: attributes not parsed.
    {"<r x><a/></r>", "a", "a"},
    // More attributes than the linear duplicate check covers.
    {"<a k0='0' k1='1' k2='2' k3='3' k4='4' k5='5' k6='6' k7='7' k8='8' k9='9' k10='10' k11='11' k12='12' "
     "k13='13' k14='14' k15='15' k16='16' k17='17'/>",
     "a", "a{k0=0,k1=1,k10=10,k11=11,k12=12,k13=13,k14=14,k15=15,k16=16,k17=17,k2=2,k3=3,k4=4,k5=5,k6=6,k7=7,k8=8,k9=9}"},
};

// Text is trimmed of XML white space only: SPACE, TAB, CR, LF. Any other
// white space at the edges (no-break spaces, U+3000, VT, FF) is data.
const Case kTrimming[] = {
    {"<a> \t\r\nx\n\r\t </a>", "a", "a[x]"},
    {"<a>\xC2\xA0x\xE3\x80\x80</a>", "a", "a[\xC2\xA0x\xE3\x80\x80]"},            // U+00A0, U+3000
    {"<a>\xC2\xA0</a>", "a", "a[\xC2\xA0]"},                                          // a lone no-break space
    {"<a> \xE2\x80\xAF</a>", "a", "a[\xE2\x80\xAF]"},                                 // U+202F after a space
    {"<a>\xC2\x85x\xE2\x80\xA8 </a>", "a", "a[\xC2\x85x\xE2\x80\xA8]"},            // U+0085, U+2028
    {"<a>\x0B\x0C x \r</a>", "a", "a[\x0B\x0C x]"},                                   // VT, FF
    {"<a>x\r\ny</a>", "a", "a[x\r\ny]"},                                              // line ends inside: as written
    {"<a>&#160;x&#x3000;</a>", "a", "a[\xC2\xA0x\xE3\x80\x80]"},                       // decoded: kept too
    {"<a>&#32;x&#10;</a>", "a", "a[x]"},                                                  // decoded XML space: trimmed
    {"<a>\xC2\xA0<b/>\xE3\x80\x80</a>", "a", "a[\xC2\xA0\xE3\x80\x80](b)"},
    {"<a> <b/>\t<c/>\n</a>", "a", "a(b c)"},
};

const Case kErrors[] = {
    {"<a>", "a", "!unexpected end of document: <a> is never closed"},
    {"<r><a><b></b>", "a", "!unexpected end of document: <a> is never closed"},
    {"<a>text", "a", "!unexpected end of document: <a> is never closed"},
    {"", "a", "!root tag <a> not found in document"},
    {"<r><a>1</a></r>", "x", "!root tag <x> not found in document"},
    {"<r><A/></r>", "a", "!root tag <a> not found in document"},
    {"<a>x</a", "a", "!malformed XML: Unclosed tag at byte 4"},
    {"<a><", "a", "!malformed XML: Unclosed tag at byte 3"},
    {"<a>1</a><b", "a", "!malformed XML: Unclosed tag at byte 8"},
    // An unclosed tag anywhere wins over an error in the tree before it.
    {"<a><b></a><c></c><d", "a", "!malformed XML: Unclosed tag at byte 17"},
    {"<a>&bogus;</a>", "a", "!unknown entity reference '&bogus;' at byte 3"},
    {"<a>&;</a>", "a", "!unknown entity reference '&;' at byte 3"},
    {"<a>AT&T</a>", "a", "!malformed XML at byte 5: unterminated entity reference"},
    {"<a>&#X41;</a>", "a", "!malformed XML at byte 3: invalid character reference '&#X41;'"},
    {"<a>&#xD800;</a>", "a", "!malformed XML at byte 3: invalid character reference '&#xD800;'"},
    {"<r><a>1</b></r>", "r", "!malformed XML at byte 7: expected </a>, found </b>"},
    {"<r><a>1</a></r>", "r", "r(a[1])"},
    {"</x>", "a", "!malformed XML at byte 0: unexpected end tag </x>"},
    {"<r></r></x><a/>", "a", "!malformed XML at byte 7: unexpected end tag </x>"},
    {"<x><y></x><a/>", "a", "!malformed XML at byte 6: expected </y>, found </x>"},
    {"<a></a b>", "a", "!malformed XML at byte 3: malformed end tag </a>"},
    {"<a></a \xC2\xA9>", "a", "!malformed XML at byte 3: malformed end tag </a>"},
    {"<a></a\xC2\xA0>", "a", "!malformed XML at byte 3: expected </a>, found </a\xC2\xA0>"},
    {"<x></x y><a/>", "a", "!malformed XML at byte 3: malformed end tag </x>"},
    {"<a x='1'y='2'/>", "a", "!malformed XML at byte 8: expected whitespace before attribute"},
    {"<a/b>", "a", "!malformed XML at byte 2: expected whitespace before attribute"},
    {"<a =\"x\"/>", "a", "!malformed XML at byte 3: expected attribute name"},
    {"<a x/>", "a", "!malformed XML at byte 3: attribute 'x' has no value"},
    {"<a x y='1'/>", "a", "!malformed XML at byte 3: attribute 'x' has no value"},
    {"<a  xy  />", "a", "!malformed XML at byte 4: attribute 'xy' has no value"},
    {"<a x=1/>", "a", "!malformed XML at byte 5: value of attribute 'x' is not quoted"},
    {"<a x= />", "a", "!malformed XML at byte 6: value of attribute 'x' is not quoted"},
    {"<a x=/>", "a", "!malformed XML at byte 5: value of attribute 'x' is not quoted"},
    {"<a x=\"1/>", "a", "!malformed XML at byte 6: unterminated attribute value"},
    {"<a x=\"1\" x=\"2\"/>", "a", "!malformed XML at byte 9: duplicate attribute 'x'"},
    {"<a x=\"<\"/>", "a", "!malformed XML at byte 6: '<' is not allowed in attribute values"},
    {"<a x=\"&bad;<\"/>", "a", "!malformed XML at byte 11: '<' is not allowed in attribute values"},
    {"<a x=\"1\" x=\"&bad;\"/>", "a", "!unknown entity reference '&bad;' at byte 12"},
    {"<a x=\"&amp\"/>", "a", "!malformed XML at byte 6: unterminated entity reference"},
    {"<a>x < y</a>", "a", "!malformed XML at byte 5: expected element name after '<'"},
    {"<>", "a", "!malformed XML at byte 0: expected element name after '<'"},
    {"<r>< a></r>", "a", "!malformed XML at byte 3: expected element name after '<'"},
    {"<r></>", "a", "!malformed XML at byte 3: expected </r>, found </>"},
    {"</><a/>", "a", "!malformed XML at byte 0: unexpected end tag </>"},
    {"<a><!-- x", "a", "!malformed XML at byte 3: unterminated markup"},
    {"<a><!--></a>", "a", "!malformed XML at byte 3: unterminated markup"},
    {"<a><!---></a>", "a", "!malformed XML at byte 3: unterminated markup"},
    {"<a><?pi", "a", "!malformed XML at byte 3: unterminated markup"},
    // Text held over a declaration is decoded when the next construct comes.
    {"<a>&bad;<!X>x<!Y><!-- c", "a", "!malformed XML at byte 17: unterminated markup"},
    {"<a>&bad;<!X>x<!Y><b/></a>", "a", "!unknown entity reference '&bad;' at byte 3"},
    {"<a>&bad;<!X>x<!Y>", "a", "!unexpected end of document: <a> is never closed"},
    {"<a><![CDATA[x]</a>", "a", "!malformed XML at byte 3: unterminated CDATA section"},
    {"<a><![CDATA[x</a>", "a", "!malformed XML at byte 3: unterminated CDATA section"},
    {"<a><?pi x></a>", "a", "!malformed XML at byte 3: unterminated processing instruction"},
    // Outer self-closing tags are parsed in full, outer start tags are not.
    {"<r><s x/><a/></r>", "a", "!malformed XML at byte 6: attribute 'x' has no value"},
    {"<r><s k='&bad;'/><a/></r>", "a", "!unknown entity reference '&bad;' at byte 9"},
    // Text outside the root element is never decoded.
    {"&bad;<r>&bad;<a/></r>", "a", "a"},
    // Offsets count UTF-8 bytes: "é" is two bytes, "€" three, U+10000 four.
    {"<a>\xC3\xA9&bad;</a>", "a", "!unknown entity reference '&bad;' at byte 5"},
    {"<a>\xE2\x82\xAC\xE2\x82\xAC<b></c></a>", "a", "!malformed XML at byte 12: expected </b>, found </c>"},
    {"<a \xF0\x90\x80\x80='1' \xF0\x90\x80\x80='2'/>", "a",
     "!malformed XML at byte 12: duplicate attribute '\xF0\x90\x80\x80'"},
    {"<\xC3\xA9 k='\xE2\x82\xAC' j=\"\xE2\x82\xAC&#x;\"/>", "\xC3\xA9",
     "!malformed XML at byte 18: invalid character reference '&#x;'"},
    {"<r>\xE3\x80\x80\xE3\x80\x80</x>", "r", "!malformed XML at byte 9: expected </r>, found </x>"},
    // Duplicates found by the map once past the linear check.
    {"<a k0='0' k1='1' k2='2' k3='3' k4='4' k5='5' k6='6' k7='7' k8='8' k9='9' k10='10' k11='11' k12='12' "
     "k13='13' k14='14' k15='15' k16='16' k3='x'/>",
     "a", "!malformed XML at byte 136: duplicate attribute 'k3'"},
};

// Each case also with windows of the index as small as they come: a window
// may end anywhere, even where no construct is indexed (after a declaration).
void run_table(const Case* cases, size_t count, const char* table) {
    for (size_t i = 0; i < count; ++i) {
        const Case& c = cases[i];
        for (uint64_t window : {IndexWindows::kDefaultWindowTags, uint64_t{1}, uint64_t{2}, uint64_t{3}}) {
            const std::string got = parse(c.xml, c.root, window);
            check(got == c.expected, std::string(table) + " \"" + printable(c.xml) + "\" (windows of " +
                                         std::to_string(window) + "): got \"" + printable(got) +
                                         "\", expected \"" + printable(c.expected) + "\"");
        }
    }
}

// Views where decoding and trimming changed nothing, Owned strings elsewhere.
void test_views_and_owned() {
    const std::string xml = "<r n='v' d='a&amp;b' t='x\ty'>"
                            "<plain>text</plain>"
                            "<padded>\n  text\n</padded>"
                            "<decoded>a&lt;b</decoded>"
                            "<pieces>x<b/>y</pieces>"
                            "<cdata><![CDATA[raw]]></cdata>"
                            "<indented>\n  <c/>\n  text\n</indented>"
                            "<decoded-padded>\n  a&lt;b \n</decoded-padded>"
                            "</r>";
    SourceRef source(SourceText::copy_of(xml));
    auto result = build_tree(source.get(), "r");
    check(result.ok(), "views document parses");
    if (!result.ok()) return;
    const ElementRecord r = std::move(result.value()).nested();
    auto is_view_of = [&](const NodeString& s, std::string_view bytes) {
        return s.is_view() && s.source() == source.get() && s.bytes() == bytes;
    };
    // Decoded strings are copies: their own buffers, or views of a block of them.
    auto is_copy = [&](const NodeString& s, std::string_view bytes) {
        return (!s.is_view() || s.source() != source.get()) && s.bytes() == bytes;
    };
    check(is_view_of(r.name, "r"), "element name is a view");
    r.attrs.for_each([&](const NodeString& k, const NodeString&) { check(k.is_view(), "attribute name is a view"); });
    check(is_view_of(*r.attrs.find("n"), "v"), "plain attribute value is a view");
    check(is_copy(*r.attrs.find("d"), "a&b"), "decoded attribute value is a copy");
    check(is_copy(*r.attrs.find("t"), "x y"), "attribute value with a tab is a copy");
    const std::pair<const char*, bool> kTexts[] = {{"text", true}, {"text", true}, {"a<b", false}, {"xy", false},
                                                   {"raw", true},  {"text", true}, {"a<b", false}};
    for (size_t i = 0; i < 7; ++i) {
        const ElementRecord& child = r.children[i];
        const bool view = kTexts[i].second;
        check(child.text && (view ? is_view_of(*child.text, kTexts[i].first) : is_copy(*child.text, kTexts[i].first)),
              std::string(child.name.bytes()) + " text is " + (view ? "a view" : "a copy"));
    }
    check(!r.text, "white space between children gives no text");
}

// One key pair per parse: every attribute map of the parse has it, and the
// thread's pair has moved on by one.
void test_one_key_pair_per_parse() {
    SourceRef source(SourceText::copy_of("<r a='1'><b c='2'/><d/><e f='3' g='4'/></r>"));
    auto result = build_tree(source.get(), "r");
    const HashKeys next = take_thread_hash_keys();
    check(result.ok(), "keys document parses");
    if (!result.ok()) return;
    const ElementRecord r = std::move(result.value()).nested();
    const HashKeys used = r.attrs.keys();
    bool same = true;
    for (const ElementRecord& child : r.children)
        same = same && child.attrs.keys().k0 == used.k0 && child.attrs.keys().k1 == used.k1;
    check(same, "every attribute map shares the parse's key pair");
    check(next.k0 == used.k0 + 1 && next.k1 == used.k1, "the thread's pair advanced by one");
}

// References to the source: one per view while the tree lives, none after.
void test_source_references() {
    SourceRef source(SourceText::copy_of("<r k='v'><a>t</a><b>&amp;</b></r>"));
    {
        auto result = build_tree(source.get(), "r");
        check(result.ok(), "reference document parses");
        // Views: names r, a, b; attribute k and its value; text of a.
        check(source->reference_count() == 1 + 6, "one reference per view while the tree lives");
    }
    check(source->reference_count() == 1, "no reference left after the tree is dropped");
    {
        auto result = build_tree(source.get(), "missing");
        check(!result.ok() && source->reference_count() == 1, "no reference left after an error");
    }
}

// Names are never cut: 70,000 bytes, in tags, end tags and attributes.
void test_long_names() {
    const std::string name(70000, 'n');
    const std::string other = name.substr(0, name.size() - 1) + "m";
    check(parse("<" + name + " " + name + "='v'>t</" + name + ">", name) == name + "[t]{" + name + "=v}",
          "70,000-byte element and attribute names");
    check(parse("<" + name + ">t</" + other + ">", name) ==
              cat("!malformed XML at byte 70003: expected </", name, ">, found </", other, ">"),
          "end tag differing in its 70,000th byte");
    check(parse("<" + name + "/>", name.substr(0, 4464)) == "!root tag <" + name.substr(0, 4464) +
                                                                "> not found in document",
          "a name equal to the root tag modulo 65536 does not match");
}

// A root whose first window is sparse and the rest dense: the records
// projected from the window run short, and the array grows as it fills.
void test_denser_than_projected() {
    std::string xml = "<r><a>" + std::string(2000, 'x') + "</a>";
    std::string expected = "r(a[" + std::string(2000, 'x') + "]";
    for (int i = 0; i < 500; ++i) {
        xml += "<b k='" + std::to_string(i) + "'/>";
        expected += " b{k=" + std::to_string(i) + "}";
    }
    xml += "</r>";
    expected += ")";
    for (uint64_t window : {uint64_t{3}, uint64_t{5}, IndexWindows::kDefaultWindowTags})
        check(parse(xml, "r", window) == expected, "a tree denser than projected, windows of " + std::to_string(window));
}

// A million levels: built with the explicit stack and dropped without recursion.
void test_million_levels() {
    const int depth = 1000000;
    std::string xml;
    xml.reserve(depth * 7 + 4);
    for (int i = 0; i < depth; ++i) xml += "<n>";
    xml += "leaf";
    for (int i = 0; i < depth; ++i) xml += "</n>";
    SourceRef source(SourceText::copy_of(xml));
    {
        auto result = build_tree(source.get(), "n");
        check(result.ok(), "a million levels parse");
        if (result.ok()) {
            const ElementRecord nested = std::move(result.value()).nested();
            const ElementRecord* node = &nested;
            int levels = 0;
            while (!node->children.empty()) {
                node = &node->children[0];
                ++levels;
            }
            check(levels == depth - 1 && node->text && node->text->bytes() == "leaf", "a million levels deep");
        }
    }
    check(source->reference_count() == 1, "the deep tree released every view");
    // Unclosed at the bottom of a million levels: the error, and a clean drop.
    xml.resize(depth * 3);
    SourceRef unclosed(SourceText::copy_of(xml));
    auto result = build_tree(unclosed.get(), "n");
    check(!result.ok() && result.error().display() == "unexpected end of document: <n> is never closed",
          "a million unclosed levels");
}

}  // namespace

int main() {
    run_table(kResults, std::size(kResults), "result");
    run_table(kTrimming, std::size(kTrimming), "trimming");
    run_table(kErrors, std::size(kErrors), "error");
    test_views_and_owned();
    test_one_key_pair_per_parse();
    test_source_references();
    test_long_names();
    test_million_levels();
    test_denser_than_projected();
    return report();
}
