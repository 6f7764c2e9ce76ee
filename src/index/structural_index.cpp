#include "index/structural_index.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

#include "index/scanners.hpp"

namespace brindxml {

namespace {

// Initial sizes from the document length: one tag per 128 bytes, one text
// range per 256 bytes.
constexpr uint64_t kBytesPerTag = 128;
constexpr uint64_t kBytesPerText = 256;
constexpr uint64_t kFirstGrowth = 16;
constexpr uint64_t kMaxEntries = uint64_t{1} << 56;  // keeps every byte count below 2^64

template <class Column>
void resize_column(Column& column, uint64_t capacity) {
    using T = std::remove_extent_t<typename Column::element_type>;
    static_assert(std::is_trivially_copyable_v<T>);
    // The byte count must fit size_t too (on 32-bit targets it is the tighter bound).
    if (capacity > kMaxEntries || capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    void* grown = std::realloc(column.get(), static_cast<size_t>(capacity) * sizeof(T));
    if (!grown) throw std::bad_alloc();
    column.release();
    column.reset(static_cast<T*>(grown));
}

// The next capacity when `count` entries filled the table by `position` of a
// `length`-byte document: at least double, and enough for the rest of the
// document if it continues as dense as it began (so a document denser than
// the initial guess regrows about once), but never more than the rest could
// hold, every entry covering at least `min_bytes` bytes of it.
uint64_t grown_capacity(uint64_t count, uint64_t position, uint64_t length, uint64_t min_bytes) {
    if (count > kMaxEntries / 2) throw std::bad_alloc();
    const uint64_t rest = position < length ? length - position : 0;
    const uint64_t most = count + rest / min_bytes + 1;
    uint64_t capacity = std::max<uint64_t>(2 * count, kFirstGrowth);
    const double expected = 1.125 * static_cast<double>(count) / static_cast<double>(std::max<uint64_t>(position, 1)) *
                                static_cast<double>(length) + 16.0;
    if (expected > static_cast<double>(capacity))
        capacity = expected >= static_cast<double>(most) ? most : static_cast<uint64_t>(expected);
    return std::min(capacity, most);
}

}  // namespace

std::string IndexError::display() const {
    const char* what = reason == Reason::UnterminatedDoctype ? "unterminated DOCTYPE declaration" : "Unclosed tag";
    return std::string(what) + " at byte " + std::to_string(offset);
}

StructuralIndex::StructuralIndex(std::string_view document, uint64_t window_tags)
    : document_(document), window_tags_(std::clamp<uint64_t>(window_tags, 1, kWholeDocument)) {
    const uint64_t len = document.size();
    if (len >= kBytesPerTag) {
        tag_capacity_ = std::min(len / kBytesPerTag, window_tags_);
        resize_column(starts_, tag_capacity_);
        resize_column(ends_, tag_capacity_);
        resize_column(kinds_, tag_capacity_);
        resize_column(name_lengths_, tag_capacity_);
    }
    if (len >= kBytesPerText) {
        text_capacity_ = std::min(len / kBytesPerText, window_tags_);
        resize_column(texts_, text_capacity_);
    }
}

void StructuralIndex::grow_tags(uint64_t position) {
    // A construct takes at least two bytes (`<>`).
    // Within a window's bound (one past it only if a scan overran the window).
    const uint64_t capacity =
        std::max(std::min(grown_capacity(tag_count_, position, document_.size(), 2), window_tags_), tag_count_ + 1);
    resize_column(starts_, capacity);
    resize_column(ends_, capacity);
    resize_column(kinds_, capacity);
    resize_column(name_lengths_, capacity);
    tag_capacity_ = capacity;
}

void StructuralIndex::grow_texts(uint64_t position) {
    const uint64_t capacity = std::max(
        std::min(grown_capacity(text_count_, position, document_.size(), 1), 2 * window_tags_ + 1), text_count_ + 1);
    resize_column(texts_, capacity);
    text_capacity_ = capacity;
}

bool operator==(const StructuralIndex& a, const StructuralIndex& b) noexcept {
    if (a.tag_count_ != b.tag_count_ || a.text_count_ != b.text_count_) return false;
    const uint64_t n = a.tag_count_;
    const auto same = [n](const auto& x, const auto& y) { return n == 0 || std::equal(&x[0], &x[0] + n, &y[0]); };
    if (!same(a.starts_, b.starts_) || !same(a.ends_, b.ends_) || !same(a.kinds_, b.kinds_) ||
        !same(a.name_lengths_, b.name_lengths_))
        return false;
    return a.text_count_ == 0 || std::equal(&a.texts_[0], &a.texts_[0] + a.text_count_, &b.texts_[0]);
}

bool prefers_bitmap_scanner(std::string_view document) noexcept {
    // Classifying a block of 64 bytes costs a few vector compares, and eight
    // bytes at a time more than the byte searches of the tag-seeking scanner
    // save. The bitmaps pay where tags carry attributes, skipping quoted
    // values many at a time; short tags without them, and long text, are
    // found sooner by byte searches. Measured: with two double quotes per `<`
    // the two scanners are even, with four the bitmaps are faster by a third;
    // prose with a `<` every few hundred bytes is searched faster than it is
    // classified.
    if (fastest_scan_path() == ScanPath::Portable) return false;
    const std::string_view sample = document.substr(0, 4096);
    const auto quotes = std::count(sample.begin(), sample.end(), '"');
    const auto tags = std::count(sample.begin(), sample.end(), '<');
    return quotes > 2 * tags && tags * 128 >= static_cast<std::ptrdiff_t>(sample.size());
}

Result<StructuralIndex, IndexError> build_structural_index(std::string_view document) {
    return prefers_bitmap_scanner(document) ? scan_bitmap(document) : scan_tag_seeking(document);
}

}  // namespace brindxml
