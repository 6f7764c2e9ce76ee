#include "index/index_windows.hpp"

#include "index/scanners.hpp"

namespace brindxml {

IndexWindows::IndexWindows(std::string_view document, uint64_t window_tags)
    : document_(document),
      window_(document, window_tags),
      bitmap_(prefers_bitmap_scanner(document)),
      path_(fastest_scan_path()) {}

Result<bool, IndexError> IndexWindows::next() {
    window_.clear();
    if (done_) return false;
    auto whole = bitmap_ ? scan_bitmap_window(document_, path_, position_, window_)
                         : scan_tag_seeking_window(document_, position_, window_);
    if (!whole) {
        done_ = true;
        window_.clear();
        return std::move(whole).error();
    }
    done_ = whole.value();
    return true;
}

std::optional<IndexError> IndexWindows::scan_rest() {
    while (!done_) {
        auto more = next();
        if (!more) return std::move(more).error();
    }
    window_.clear();
    return std::nullopt;
}

}  // namespace brindxml
