// Differential test of the scanners: for generated, mutated and random
// documents, the tag-seeking scanner, the bitmap scanner on each classifier
// path this machine runs (portable, SSE2, AVX2, NEON) and a plain
// byte-by-byte transcription of the index rules must give identical indexes
// (every entry and text range) or the identical error. Fixed seeds.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "index/scanners.hpp"
#include "index/structural_index.hpp"

#include "check.hpp"

using namespace brindxml;

namespace {

int reported = 0;

// ---- the reference: the rules read literally, one byte at a time ----------

struct Tag {
    uint64_t start, end;
    TagKind kind;
    uint64_t name_offset, name_length;
    bool operator==(const Tag&) const = default;
};

struct Flat {
    std::optional<uint64_t> error;
    std::vector<Tag> tags;
    std::vector<TextRange> texts;
    bool doctype_error = false;  // the error is an unterminated document type declaration
    bool operator==(const Flat&) const = default;
};

bool ascii_space(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

int64_t find_from(std::string_view d, size_t from, char c) {
    for (size_t i = from; i < d.size(); ++i)
        if (d[i] == c) return static_cast<int64_t>(i);
    return -1;
}

Flat reference_scan(std::string_view d) {
    Flat out;
    const size_t len = d.size();
    size_t pos = 0;
    bool has_prev = false;
    size_t prev_end = 0;
    for (;;) {
        const int64_t found = find_from(d, pos, '<');
        if (found < 0) break;
        const size_t lt = static_cast<size_t>(found);
        const size_t text_start = has_prev ? prev_end + 1 : 0;
        if (lt > text_start) out.texts.push_back({text_start, lt});
        if (lt == len - 1) return Flat{lt, {}, {}};
        const char c = d[lt + 1];
        size_t end = 0;
        if (c == '!' && lt + 3 < len && d[lt + 2] == '-' && d[lt + 3] == '-') {
            size_t q = lt + 4;
            end = len;
            for (;;) {
                const int64_t dash = find_from(d, q, '-');
                if (dash < 0) break;
                const size_t p = static_cast<size_t>(dash);
                if (p + 2 < len && d[p + 1] == '-' && d[p + 2] == '>') {
                    end = p + 2;
                    break;
                }
                q = p + 1;
            }
            out.tags.push_back({lt, end, TagKind::Comment, 0, 0});
        } else if (c == '!' && lt + 8 < len && d.substr(lt + 1, 8) == "![CDATA[") {
            size_t q = lt + 9;
            bool complete = false;
            for (;;) {
                const int64_t bracket = find_from(d, q, ']');
                if (bracket < 0) break;
                const size_t p = static_cast<size_t>(bracket);
                if (p + 2 < len && d[p + 1] == ']' && d[p + 2] == '>') {
                    if (p > lt + 9) out.texts.push_back({lt + 9, p});
                    end = p + 2;
                    complete = true;
                    break;
                }
                q = p + 1;
            }
            if (!complete) end = q;
            out.tags.push_back({lt, end, TagKind::CData, 0, 0});
        } else if (c == '!' && d.substr(lt + 1).starts_with("!DOCTYPE")) {
            // Byte by byte: quoted literals anywhere, and within the internal
            // subset comments and processing instructions, hide what they hold.
            size_t i = lt + 9;
            bool subset = false;
            bool closed = false;
            while (i < len) {
                const char b = d[i];
                if (b == '"' || b == '\'') {
                    const int64_t m = find_from(d, i + 1, b);
                    if (m < 0) break;
                    i = static_cast<size_t>(m) + 1;
                } else if (subset && d.substr(i).starts_with("<!--")) {
                    const size_t close = d.find("-->", i + 4);
                    if (close == std::string_view::npos) break;
                    i = close + 3;
                } else if (subset && d.substr(i).starts_with("<?")) {
                    const size_t close = d.find("?>", i + 2);
                    if (close == std::string_view::npos) break;
                    i = close + 2;
                } else if (!subset && b == '[') {
                    subset = true;
                    ++i;
                } else if (subset && b == ']') {
                    subset = false;
                    ++i;
                } else if (!subset && b == '>') {
                    closed = true;
                    break;
                } else {
                    ++i;
                }
            }
            if (!closed) {
                Flat failed{lt, {}, {}};
                failed.doctype_error = true;
                return failed;
            }
            has_prev = true;
            prev_end = i;
            pos = i + 1;
            continue;
        } else if (c == '!') {
            const int64_t gt = find_from(d, lt + 1, '>');
            has_prev = true;
            prev_end = gt >= 0 ? static_cast<size_t>(gt) : lt;
            pos = prev_end + 1;
            continue;
        } else if (c == '/') {
            size_t i = lt + 2;
            while (i < len && !ascii_space(d[i]) && d[i] != '>') ++i;
            if (i == len) return Flat{lt, {}, {}};
            const int64_t gt = find_from(d, i, '>');
            if (gt < 0) return Flat{lt, {}, {}};
            end = static_cast<size_t>(gt);
            out.tags.push_back({lt, end, TagKind::Close, lt + 2, i - (lt + 2)});
        } else if (c == '?') {
            size_t t = lt + 2;
            while (t < len && !ascii_space(d[t]) && d[t] != '>' && d[t] != '?') ++t;
            if (t + 1 >= len) {
                end = t;
            } else {
                end = len - 1;
                for (size_t p = t; p + 1 < len; ++p) {
                    if (d[p] == '?' && d[p + 1] == '>') {
                        end = p + 1;
                        break;
                    }
                }
            }
            out.tags.push_back({lt, end, TagKind::ProcessingInstruction, lt + 2, t - (lt + 2)});
        } else {
            size_t i = lt + 1;
            while (i < len && !ascii_space(d[i]) && d[i] != '/' && d[i] != '>') ++i;
            if (i == len) return Flat{lt, {}, {}};
            size_t j = i;
            TagKind kind;
            for (;;) {
                if (j >= len) return Flat{lt, {}, {}};
                const char b = d[j];
                if (b == '"' || b == '\'') {
                    const int64_t m = find_from(d, j + 1, b);
                    j = m >= 0 ? static_cast<size_t>(m) + 1 : j + 2;
                } else if (b == '/' && j + 1 < len && d[j + 1] == '>') {
                    kind = TagKind::SelfClosing;
                    end = j + 1;
                    break;
                } else if (b == '>') {
                    kind = TagKind::Open;
                    end = j;
                    break;
                } else {
                    ++j;
                }
            }
            out.tags.push_back({lt, end, kind, lt + 1, i - (lt + 1)});
        }
        has_prev = true;
        prev_end = end;
        pos = end + 1;
        if (end == len) break;
    }
    return out;
}

Flat flatten(Result<StructuralIndex, IndexError> result) {
    Flat out;
    if (!result.ok()) {
        out.error = result.error().offset;
        out.doctype_error = result.error().reason == IndexError::Reason::UnterminatedDoctype;
        return out;
    }
    const StructuralIndex& index = result.value();
    for (uint64_t i = 0; i < index.tag_count(); ++i)
        out.tags.push_back({index.tag_start(i), index.tag_end(i), index.tag_kind(i), index.name_offset(i),
                            index.name_length(i)});
    for (uint64_t i = 0; i < index.text_count(); ++i) out.texts.push_back(index.text(i));
    return out;
}

// The same, scanned in windows of `window_tags` constructs, concatenated.
template <class ScanWindow>
Flat flatten_windows(std::string_view doc, uint64_t window_tags, ScanWindow scan_window) {
    Flat out;
    StructuralIndex window(doc, window_tags);
    uint64_t position = 0;
    for (bool whole = false; !whole;) {
        window.clear();
        auto step = scan_window(position, window);
        if (!step.ok()) {
            Flat failed;
            failed.error = step.error().offset;
            failed.doctype_error = step.error().reason == IndexError::Reason::UnterminatedDoctype;
            return failed;
        }
        whole = step.value();
        for (uint64_t i = 0; i < window.tag_count(); ++i)
            out.tags.push_back({window.tag_start(i), window.tag_end(i), window.tag_kind(i), window.name_offset(i),
                                window.name_length(i)});
        for (uint64_t i = 0; i < window.text_count(); ++i) out.texts.push_back(window.text(i));
    }
    return out;
}

// A text range holds no `<` unless it is the content of a complete CDATA section.
bool text_ranges_free_of_lt(std::string_view d, const Flat& flat) {
    for (const TextRange& range : flat.texts) {
        if (d.substr(static_cast<size_t>(range.start), static_cast<size_t>(range.end - range.start)).find('<') == std::string_view::npos) continue;
        bool is_cdata_content = false;
        for (const Tag& tag : flat.tags)
            if (tag.kind == TagKind::CData && tag.start + 9 == range.start && tag.end == range.end + 2)
                is_cdata_content = true;
        if (!is_cdata_content) return false;
    }
    return true;
}

std::string summary(const Flat& f) {
    if (f.error) return "error at " + std::to_string(*f.error);
    return std::to_string(f.tags.size()) + " tags, " + std::to_string(f.texts.size()) + " texts";
}

void compare(std::string_view doc, const char* family) {
    const Flat expected = reference_scan(doc);
    const Flat tag = flatten(scan_tag_seeking(doc));
    std::string wrong;
    if (!(tag == expected)) wrong += cat(", tag-seeking ", summary(tag));
    // Windows of one to three constructs end in every kind of place.
    const uint64_t window = 1 + doc.size() % 3;
    const Flat tag_windows = flatten_windows(
        doc, window, [&](uint64_t& at, StructuralIndex& w) { return scan_tag_seeking_window(doc, at, w); });
    if (!(tag_windows == expected)) wrong += cat(", tag-seeking in windows ", summary(tag_windows));
    for (ScanPath path : kAllScanPaths) {
        if (!scan_path_available(path)) continue;
        const Flat bitmap = flatten(scan_bitmap(doc, path));
        if (!(bitmap == expected)) wrong += cat(", bitmap ", scan_path_name(path), " ", summary(bitmap));
        const Flat bitmap_windows = flatten_windows(
            doc, window, [&](uint64_t& at, StructuralIndex& w) { return scan_bitmap_window(doc, path, at, w); });
        if (!(bitmap_windows == expected))
            wrong += cat(", bitmap ", scan_path_name(path), " in windows ", summary(bitmap_windows));
    }
    if (wrong.empty() && text_ranges_free_of_lt(doc, expected)) {
        ++passed;
        return;
    }
    ++failed;
    if (reported++ < 10) {
        std::printf("FAIL (%s): reference %s%s\n  document \"%s\"\n", family, summary(expected).c_str(), wrong.c_str(),
                    doc.size() < 400 ? printable(doc).c_str() : "(long)");
    }
}

// ---- documents ---------------------------------------------------------------

class Generator {
public:
    explicit Generator(uint64_t seed) : rng_(seed) {}

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return below(100) < static_cast<uint64_t>(percent); }

    std::string name() {
        // Control bytes other than white space do not end a name.
        static const char* kNames[] = {"a",  "b", "record", "x:y", "item-1", "\xC3\xA9l\xC3\xA9ment",
                                       "_",  "r", "c\x01d", "e\x0B", "\x1F"};
        return kNames[below(11)];
    }
    std::string attribute_value(char quote) {
        static const char* kPieces[] = {"v", " ", ">", "/>", "/", "&amp;", "&#10;", "\xE2\x82\xAC", "<", "=",
                                        "?>", "-->", "]]>", "x y"};
        std::string v;
        for (uint64_t n = below(5); n > 0; --n) v += kPieces[below(14)];
        v += quote == '"' ? "'" : "\"";  // the other quote is plain content
        return v;
    }
    std::string text() {
        static const char* kPieces[] = {"text", " ", "\n  ", "it's", "\"q\"", ">", "&lt;", "&amp;",
                                        "\xC2\xA0", "\xE3\x80\x80", "]]>", "-->", "?>", "/"};
        std::string t;
        for (uint64_t n = below(4); n > 0; --n) t += kPieces[below(14)];
        return t;
    }
    std::string start_tag(bool self_closing) {
        std::string s = cat("<", name());
        for (uint64_t n = below(5); n > 0; --n) {
            const char quote = chance(70) ? '"' : '\'';
            s += chance(80) ? " " : "\n\t";
            const std::string value = attribute_value(quote);
            s += cat("k", std::to_string(below(9)), chance(85) ? "=" : " = ", std::string(1, quote), value,
                     std::string(1, quote));
        }
        if (chance(20)) s += " ";
        s += self_closing ? "/>" : ">";
        return s;
    }
    // A document type declaration, with quoted literals and an internal
    // subset holding markup where a scanner must not see it.
    std::string doctype() {
        static const char* kLiterals[] = {"\"a>b\"", "'[x]'", "\"<r>\"", "'it\"s'", "\"]>\"", "''"};
        static const char* kDecls[] = {"<!ENTITY e \"<q><r>fake</r></q>\">", "<!-- <b></b> ] > ' -->",
                                       "<?pi ] > \" ?>", "<!ELEMENT r ANY>", "<!ATTLIST r a CDATA '>]'>",
                                       "<!ENTITY % p \"x\">%p;", "\n  ", "<!-->-->"};
        std::string s = cat("<!DOCTYPE ", name());
        if (chance(40)) s += cat(" SYSTEM ", kLiterals[below(6)]);
        if (chance(70)) {
            s += " [";
            for (uint64_t n = below(5); n > 0; --n) s += kDecls[below(8)];
            s += "]";
        }
        return s + (chance(30) ? " >" : ">");
    }
    std::string misc() {
        switch (below(7)) {
            case 6: return doctype();
            case 0: return cat("<!--", text(), chance(50) ? "-" : "", "-->");
            case 1: return cat("<![CDATA[", text(), "<b>", chance(50) ? "]" : "", "]]>");
            case 2: return cat("<?pi ", text(), "?>");
            case 3: return "<!DOCTYPE d>";
            case 4: return cat("<", name(), "/>");
            default: return text();
        }
    }
    // A well-formed-ish document; nesting with an explicit stack.
    std::string document() {
        std::string doc;
        if (chance(30)) doc += "<?xml version=\"1.0\"?>\n";
        std::vector<std::string> open;
        const uint64_t steps = 1 + below(40);
        for (uint64_t i = 0; i < steps; ++i) {
            const uint64_t action = below(10);
            if (action < 3 && open.size() < 12) {
                std::string tag = start_tag(false);
                open.push_back(tag.substr(1, tag.find_first_of(" \n/>") - 1));
                doc += tag;
            } else if (action < 5 && !open.empty()) {
                doc += "</" + open.back() + (chance(20) ? " >" : ">");
                open.pop_back();
            } else if (action < 6) {
                doc += start_tag(true);
            } else {
                doc += misc();
            }
        }
        while (!open.empty()) {
            doc += "</" + open.back() + ">";
            open.pop_back();
        }
        return doc;
    }
    // 1 to 5 edits with the bytes markup is made of.
    std::string mutate(std::string doc) {
        static const char kAlphabet[] = "<>\"'/!?-[]CDATA= x\n";
        for (size_t n = 1 + below(5); n > 0; --n) {
            const size_t at = doc.empty() ? 0 : below(doc.size() + 1);
            switch (below(5)) {
                case 0: doc.insert(doc.begin() + static_cast<std::ptrdiff_t>(at), kAlphabet[below(sizeof kAlphabet - 1)]); break;
                case 1: if (at < doc.size()) doc.erase(at, 1); break;
                case 2: if (at < doc.size()) doc[at] = kAlphabet[below(sizeof kAlphabet - 1)]; break;
                case 3: doc.resize(at); break;
                default: {
                    const size_t from = doc.empty() ? 0 : below(doc.size());
                    doc.insert(at, doc.substr(from, below(20)));
                }
            }
        }
        return doc;
    }
    std::string random_bytes() {
        static const char kAlphabet[] = "<<>>\"\"''//!?--[]]CDATA=ab \n\t\x01\x0B";
        std::string doc;
        for (uint64_t n = below(200); n > 0; --n) {
            if (chance(2)) doc += "<!DOCTYPE ";
            else doc += kAlphabet[below(sizeof kAlphabet - 1)];
        }
        return doc;
    }

private:
    std::mt19937_64 rng_;
};

}  // namespace

int main() {
    Generator gen(20240611);
    int cases = 0;
    for (int i = 0; i < 20000; ++i, ++cases) compare(gen.document(), "generated");
    for (int i = 0; i < 30000; ++i, ++cases) compare(gen.mutate(gen.document()), "mutated");
    for (int i = 0; i < 20000; ++i, ++cases) compare(gen.random_bytes(), "random");
    // Long documents, so constructs straddle every position of the 64-byte
    // bitmap words, and their mutations.
    for (int i = 0; i < 200; ++i, ++cases) {
        std::string doc;
        while (doc.size() < 20000) doc += gen.document();
        compare(doc, "long");
        compare(gen.mutate(doc), "long mutated");
        ++cases;
    }
    // A quote or `<` at each position around word boundaries.
    for (size_t length = 60; length < 140; ++length) {
        for (size_t at = 0; at < length; ++at) {
            for (char c : {'<', '"', '\'', '>'}) {
                std::string doc = "<a k=\"" + std::string(length, 'v') + "\">x</a>";
                doc[at] = c;
                compare(doc, "boundary");
                ++cases;
            }
        }
    }
    std::printf("%d documents compared; bitmap scanner paths:", cases);
    for (ScanPath path : kAllScanPaths)
        if (scan_path_available(path)) std::printf(" %s", scan_path_name(path));
    std::printf("\n");
    return report();
}
