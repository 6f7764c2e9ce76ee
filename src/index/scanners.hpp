// The two scanners. They apply the same rules (scan_rules.hpp) and differ
// only in how they find the next markup byte: the tag-seeking scanner searches
// forward from each position, the bitmap scanner first marks every `<`, `>`
// and quote of the document in a bitmap, eight bytes at a time, and then walks
// the marks.
//
// build_structural_index always uses the tag-seeking scanner: measured on
// record, quote-dense and text corpora, the bitmap scanner was slower on each
// (marking costs about as much per byte as the whole tag-seeking scan on
// attribute-heavy input, and text without markup is where memchr is fastest).
// The bitmap scanner is kept as an independent second route to the same
// index, which the differential tests and the fuzzer compare against.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/result.hpp"
#include "index/structural_index.hpp"

namespace brindxml {

Result<StructuralIndex, IndexError> scan_tag_seeking(std::string_view document);
Result<StructuralIndex, IndexError> scan_bitmap(std::string_view document);

}  // namespace brindxml
