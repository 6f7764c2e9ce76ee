// The structural index of a document built a window at a time: the reader
// consumes each window's constructs while they are still in cache, and the
// index of a large document never takes memory in proportion to it. The
// scanner is chosen per document as for build_structural_index, and the
// windows' entries, concatenated, are that index's.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/result.hpp"
#include "index/byte_classes.hpp"
#include "index/structural_index.hpp"

namespace brindxml {

class IndexWindows {
public:
    // Constructs per window: some hundred kilobytes of entries.
    static constexpr uint64_t kDefaultWindowTags = 4096;

    // Throws std::bad_alloc.
    explicit IndexWindows(std::string_view document, uint64_t window_tags = kDefaultWindowTags);

    // Replaces the window with the next constructs: true when there were
    // more of the document to index, false (the window left empty) once all
    // of it is. Throws std::bad_alloc.
    Result<bool, IndexError> next();
    const StructuralIndex& window() const noexcept { return window_; }

    // Indexes the rest of the document without keeping it: the error there,
    // if any. The windows are done after it.
    std::optional<IndexError> scan_rest();

private:
    std::string_view document_;
    StructuralIndex window_;
    uint64_t position_ = 0;  // where the next window starts
    bool done_ = false;
    bool bitmap_;
    ScanPath path_;
};

}  // namespace brindxml
