// libFuzzer target for the reader core. For any input, the encoding its first
// bytes declare is found inside it. For an input that is valid UTF-8:
// builds the index with both scanners and requires identical results, then
// builds the record tree for a root tag taken from the input's first bytes,
// and checks that every view of the result lies inside the document, that
// building from windows of one to four constructs gives the same tree or
// error, and that no reference to the document outlives the tree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/utf8.hpp"
#include "index/scanners.hpp"
#include "index/structural_index.hpp"
#include "read/document_encoding.hpp"
#include "read/tree_builder.hpp"
#include "storage/source_text.hpp"

#include "fuzz_input.hpp"

using namespace brindxml;
using brindxml::fuzz::pick_root;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool same(Result<StructuralIndex, IndexError>& a, Result<StructuralIndex, IndexError>& b) {
    if (a.ok() != b.ok()) return false;
    return a.ok() ? a.value() == b.value() : a.error() == b.error();
}

// The classifier paths to compare, from BRINDXML_SCAN_PATH or all available ones.
std::vector<ScanPath> paths_to_compare() {
    std::vector<ScanPath> paths;
    const char* wanted = std::getenv("BRINDXML_SCAN_PATH");
    for (ScanPath path : kAllScanPaths)
        if (scan_path_available(path) && (!wanted || std::strcmp(wanted, scan_path_name(path)) == 0))
            paths.push_back(path);
    if (paths.empty()) {
        std::fprintf(stderr, "BRINDXML_SCAN_PATH=%s: no such path available here\n", wanted);
        std::abort();
    }
    return paths;
}

void check_views(const RecordTree& tree, const SourceText* source) {
    // A view lies within its text: the document's, or a block of decoded strings.
    const auto inside = [](const NodeString& s) {
        if (!s.is_view()) return true;
        const char* begin = s.source()->data();
        return s.data() >= begin && s.data() + s.size() <= begin + s.source()->length();
    };
    // Every record but the first is the child of one before it.
    uint64_t children = 0;
    for (const FlatRecord& r : tree) {
        require(inside(r.name) && r.name.is_view() && r.name.source() == source && !r.name.empty());
        if (r.text) require(inside(*r.text) && !r.text->empty());
        r.attrs.for_each([&](const NodeString& k, const NodeString& v) { require(inside(k) && inside(v)); });
        children += r.child_count;
    }
    require(tree.size() == children + 1);
}

bool same_string(const NodeString& a, const NodeString& b) { return a.bytes() == b.bytes(); }

// Same records in the same order (attribute maps compared by lookup: each
// parse hashes with keys of its own, so their orders differ).
bool same_tree(const RecordTree& a, const RecordTree& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const FlatRecord& x = a[i];
        const FlatRecord& y = b[i];
        if (!same_string(x.name, y.name) || x.child_count != y.child_count || bool(x.text) != bool(y.text) ||
            (x.text && !same_string(*x.text, *y.text)) || x.attrs.size() != y.attrs.size())
            return false;
        bool same_attrs = true;
        x.attrs.for_each([&](const NodeString& k, const NodeString& v) {
            const NodeString* other = y.attrs.find(k.bytes());
            same_attrs = same_attrs && other && same_string(v, *other);
        });
        if (!same_attrs) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view doc(reinterpret_cast<const char*>(data), size);
    // Any bytes: a declared encoding name is a non-empty part of the input.
    const DocumentEncoding encoding = detect_document_encoding(doc);
    if (encoding.source == DocumentEncoding::Source::Declaration)
        require(!encoding.name.empty() && encoding.name.data() > doc.data() &&
                encoding.name.data() + encoding.name.size() < doc.data() + doc.size());
    if (!is_valid_utf8(doc)) return 0;

    static const std::vector<ScanPath> paths = paths_to_compare();
    auto by_tags = scan_tag_seeking(doc);
    for (ScanPath path : paths) {
        auto by_bitmap = scan_bitmap(doc, path);
        require(same(by_tags, by_bitmap));
    }

    SourceRef source(SourceText::copy_of(doc));
    {
        const std::string_view root = pick_root(doc);
        auto result = build_tree(source.get(), root);
        if (result.ok()) check_views(result.value(), source.get());
        else require(!result.error().display().empty());
        auto windowed = build_tree(source.get(), root, 1 + size % 4);
        require(result.ok() == windowed.ok());
        if (result.ok()) require(same_tree(result.value(), windowed.value()));
        else require(result.error().display() == windowed.error().display());
    }
    require(source->reference_count() == 1);
    return 0;
}
