// libFuzzer target for the writer against the reader. A document that parses
// is written back (the record tree stands for the writer's snapshot) and the
// output is parsed again. The second tree must equal the first: same names,
// same texts, same attributes as sets, same children in order.
//
// Exact equality is what the contract gives for a parsed tree: its texts are
// already trimmed and non-empty, so the line breaks and indentation the writer
// puts around children trim away again; its attribute values are already
// normalised, and the writer escapes TAB, LF and CR in values, so reading them
// back normalises nothing. (A tree built by hand, with untrimmed text or raw
// line breaks in values, does not come back unchanged; that is by design.)
//
// Writing the second tree must give the first output again, byte for byte,
// whenever attribute order cannot differ (no element with two or more
// attributes: each parse hashes with its own keys).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/utf8.hpp"
#include "read/tree_builder.hpp"
#include "storage/source_text.hpp"
#include "write/xml_output.hpp"

#include "../tests/cpp/records.hpp"
#include "fuzz_input.hpp"

using namespace brindxml;
using brindxml::fuzz::pick_root;
using brindxml::test::same_tree;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool attribute_order_is_fixed(const ElementRecord& root) {
    std::vector<const ElementRecord*> pending{&root};
    while (!pending.empty()) {
        const ElementRecord* r = pending.back();
        pending.pop_back();
        if (r->attrs.size() > 1) return false;
        for (const ElementRecord& child : r->children) pending.push_back(&child);
    }
    return true;
}

Result<ElementRecord, ReadError> parse(const SourceRef& source, std::string_view root_tag) {
    auto tree = build_tree(source.get(), root_tag);
    if (!tree) return std::move(tree).error();
    return std::move(tree).value().nested();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view doc(reinterpret_cast<const char*>(data), size);
    if (!is_valid_utf8(doc)) return 0;
    // The options vary with the input without taking bytes from it.
    const uint64_t indent = size % 7;
    const bool declaration = (size / 7) % 2 == 0;

    SourceRef source(SourceText::copy_of(doc));
    auto first = parse(source, pick_root(doc));
    if (!first) return 0;
    // A second parse of the same document stands in for a copy of the first
    // tree, which the writer consumes.
    auto expected = parse(source, pick_root(doc));
    require(expected.ok());
    const std::string root_name(expected.value().name.bytes());
    const bool fixed_order = attribute_order_is_fixed(expected.value());

    const std::string output = write_xml_string(std::move(first).value(), indent, declaration);
    require(is_valid_utf8(output));
    require(output.back() == '>');
    require(declaration == output.starts_with(XML_DECLARATION));

    SourceRef written(SourceText::copy_of(output));
    {
        auto second = parse(written, root_name);
        require(second.ok());
        require(same_tree(expected.value(), second.value()));
        if (fixed_order) {
            const std::string again = write_xml_string(std::move(second).value(), indent, declaration);
            require(again == output);
        }
    }
    require(written->reference_count() == 1);
    return 0;
}
