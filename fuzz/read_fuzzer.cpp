// libFuzzer target for the reader core. For any input, the encoding its first
// bytes declare is found inside it. For an input that is valid UTF-8:
// builds the index with both scanners and requires identical results, then
// builds the record tree for a root tag taken from the input's first bytes,
// and checks that every view of the result lies inside the document and that
// no reference to the document outlives the tree.
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
        auto result = build_tree(source.get(), pick_root(doc));
        if (result.ok()) check_views(result.value(), source.get());
        else require(!result.error().display().empty());
    }
    require(source->reference_count() == 1);
    return 0;
}
