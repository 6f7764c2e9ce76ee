// Picks the scanner per document from the density of double quotes among the
// first 4096 bytes: attribute-heavy documents have many quotes per `<`, and
// there the bitmap scanner's marks beat searching forward from every quote.
#include <bit>

#include "index/byte_search.hpp"
#include "index/scanners.hpp"

namespace brindxml {

namespace {

constexpr uint64_t kSampleBytes = 4096;
constexpr double kQuotesPerTagForBitmap = 5.0;

uint64_t count_lanes(uint64_t lanes) noexcept { return static_cast<uint64_t>(std::popcount(lanes)); }

}  // namespace

ScannerKind choose_scanner(std::string_view document) noexcept {
    const uint64_t n = document.size() < kSampleBytes ? document.size() : kSampleBytes;
    if (n == 0) return ScannerKind::TagSeeking;
    const char* p = document.data();
    uint64_t lt = 0;
    uint64_t dq = 0;
    uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t word = bytes::load_word(p + i);
        lt += count_lanes(bytes::equal_lanes(word, bytes::repeated('<')));
        dq += count_lanes(bytes::equal_lanes(word, bytes::repeated('"')));
    }
    for (; i < n; ++i) {
        lt += p[i] == '<';
        dq += p[i] == '"';
    }
    const double ratio = static_cast<double>(dq) / static_cast<double>(lt > 0 ? lt : 1);
    return ratio > kQuotesPerTagForBitmap ? ScannerKind::Bitmap : ScannerKind::TagSeeking;
}

Result<StructuralIndex, IndexError> build_structural_index(std::string_view document) {
    return choose_scanner(document) == ScannerKind::Bitmap ? scan_bitmap(document) : scan_tag_seeking(document);
}

}  // namespace brindxml
