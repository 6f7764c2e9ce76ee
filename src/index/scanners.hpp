// The two scanners behind build_structural_index and the choice between them.
// They apply the same rules (scan_rules.hpp) and differ only in how they find
// the next markup byte: the tag-seeking scanner searches forward from each
// position, the bitmap scanner first marks every `<`, `>` and quote of the
// document in a bitmap, eight bytes at a time, and then walks the marks.
#pragma once

#include <cstdint>
#include <string_view>

#include "index/structural_index.hpp"
#include "storage/result.hpp"

namespace brindxml {

enum class ScannerKind : uint8_t { TagSeeking, Bitmap };

ScannerKind choose_scanner(std::string_view document) noexcept;

Result<StructuralIndex, IndexError> scan_tag_seeking(std::string_view document);
Result<StructuralIndex, IndexError> scan_bitmap(std::string_view document);

}  // namespace brindxml
