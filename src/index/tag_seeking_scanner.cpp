// The tag-seeking scanner: jumps from one `<` to the next with byte searches and
// finds the end of each construct by searching forward from it.
#include "base/bytes.hpp"
#include "index/scan_rules.hpp"
#include "index/scanners.hpp"

namespace brindxml {

namespace {

class ForwardFinder {
public:
    explicit ForwardFinder(std::string_view document) noexcept : doc_(document.data()), len_(document.size()) {}

    uint64_t next_lt(uint64_t from) const noexcept { return bytes::find_byte_near(doc_, from, len_, '<'); }
    uint64_t next_gt(uint64_t from) const noexcept { return bytes::find_byte_near(doc_, from, len_, '>'); }
    uint64_t next_quote(uint64_t from, char quote) const noexcept {
        return bytes::find_byte_near(doc_, from, len_, quote);
    }
    uint64_t next_tag_stop(uint64_t from) const noexcept {
        // Between attributes the stop is usually a few bytes away: test
        // bytes one by one first, then switch to whole words.
        const uint64_t near = from + 8 < len_ ? from + 8 : len_;
        for (; from < near; ++from) {
            const char c = doc_[from];
            if (c == '>' || c == '"' || c == '\'') return from;
        }
        return bytes::find_any<'>', '"', '\''>(doc_, from, len_);
    }

private:
    const char* doc_;
    uint64_t len_;
};

}  // namespace

Result<StructuralIndex, IndexError> scan_tag_seeking(std::string_view document) {
    return scan_rules::scan(document, ForwardFinder(document));
}

Result<bool, IndexError> scan_tag_seeking_window(std::string_view document, uint64_t& position,
                                                 StructuralIndex& window) {
    return scan_rules::scan_window(document, ForwardFinder(document), position, window);
}

}  // namespace brindxml
