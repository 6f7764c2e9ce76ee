// The two scanners. They apply the same rules (scan_rules.hpp) and differ
// only in how they find the next markup byte: the tag-seeking scanner searches
// forward from each position, the bitmap scanner classifies the document 64
// bytes at a time into bitmaps of its markup bytes (byte_classes.hpp) and
// walks the bits.
//
// build_structural_index chooses per document (prefers_bitmap_scanner): the
// bitmap scanner where a vector path classifies the blocks (SSE2, AVX2, NEON)
// and the document's first 4096 bytes hold more than two `"` per `<` and a
// `<` per 128 bytes at least, the tag-seeking scanner otherwise. Each is the other's independent second route
// to the same index, which the differential tests and the fuzzer compare, on
// every path.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/result.hpp"
#include "index/byte_classes.hpp"
#include "index/structural_index.hpp"

namespace brindxml {

Result<StructuralIndex, IndexError> scan_tag_seeking(std::string_view document);
// One window of the index from `position` on (see scan_rules::scan_window).
Result<bool, IndexError> scan_tag_seeking_window(std::string_view document, uint64_t& position,
                                                 StructuralIndex& window);

// Whether build_structural_index uses the bitmap scanner for `document`.
bool prefers_bitmap_scanner(std::string_view document) noexcept;

// With the fastest path this processor runs, or with `path`, which must be
// available (scan_path_available).
Result<StructuralIndex, IndexError> scan_bitmap(std::string_view document);
Result<StructuralIndex, IndexError> scan_bitmap(std::string_view document, ScanPath path);
Result<bool, IndexError> scan_bitmap_window(std::string_view document, ScanPath path, uint64_t& position,
                                            StructuralIndex& window);

}  // namespace brindxml
