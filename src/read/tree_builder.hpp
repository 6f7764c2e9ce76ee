// Turns a document into the RecordTree of its first element named root_tag.
#pragma once

#include <string_view>

#include "base/result.hpp"
#include "index/index_windows.hpp"
#include "read/read_error.hpp"
#include "storage/record_tree.hpp"
#include "storage/source_text.hpp"

namespace brindxml {

// Runs without touching any interpreter object. Strings of the result are views
// into `source` (which they keep alive) wherever decoding changed nothing.
// `window_tags` is how many constructs each window of the index holds (tests
// vary it: the result must not depend on it).
Result<RecordTree, ReadError> build_tree(SourceText* source, std::string_view root_tag,
                                         uint64_t window_tags = IndexWindows::kDefaultWindowTags);

}  // namespace brindxml
