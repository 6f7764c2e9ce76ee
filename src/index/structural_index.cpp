#include "index/structural_index.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace brindxml {

namespace {

// Sized from the document so that ordinary documents never regrow: one tag
// per 128 bytes, one text range per 256 bytes.
constexpr uint64_t kBytesPerTag = 128;
constexpr uint64_t kBytesPerText = 256;
constexpr uint64_t kFirstGrowth = 16;
constexpr uint64_t kMaxEntries = uint64_t{1} << 56;  // keeps every byte count below 2^64

template <class T>
std::unique_ptr<T[]> allocate_array(uint64_t count) {
    if (count > kMaxEntries) throw std::bad_alloc();
    return std::unique_ptr<T[]>(new T[count]);
}

template <class T>
void regrow(std::unique_ptr<T[]>& array, uint64_t used, uint64_t new_capacity) {
    std::unique_ptr<T[]> bigger = allocate_array<T>(new_capacity);
    if (used) std::memcpy(bigger.get(), array.get(), used * sizeof(T));
    array = std::move(bigger);
}

uint64_t doubled(uint64_t capacity) {
    if (capacity == 0) return kFirstGrowth;
    if (capacity > kMaxEntries / 2) throw std::bad_alloc();
    return capacity * 2;
}

}  // namespace

std::string IndexError::display() const { return "Unclosed tag at byte " + std::to_string(offset); }

StructuralIndex::StructuralIndex(std::string_view document) : document_(document) {
    const uint64_t len = document.size();
    if (len >= kBytesPerTag) {
        tag_capacity_ = len / kBytesPerTag;
        starts_ = allocate_array<uint64_t>(tag_capacity_);
        ends_ = allocate_array<uint64_t>(tag_capacity_);
        kinds_ = allocate_array<uint8_t>(tag_capacity_);
        name_offsets_ = allocate_array<uint64_t>(tag_capacity_);
        name_lengths_ = allocate_array<uint64_t>(tag_capacity_);
    }
    if (len >= kBytesPerText) {
        text_capacity_ = len / kBytesPerText;
        texts_ = allocate_array<TextRange>(text_capacity_);
    }
}

void StructuralIndex::grow_tags() {
    const uint64_t capacity = doubled(tag_capacity_);
    regrow(starts_, tag_count_, capacity);
    regrow(ends_, tag_count_, capacity);
    regrow(kinds_, tag_count_, capacity);
    regrow(name_offsets_, tag_count_, capacity);
    regrow(name_lengths_, tag_count_, capacity);
    tag_capacity_ = capacity;
}

void StructuralIndex::grow_texts() {
    const uint64_t capacity = doubled(text_capacity_);
    regrow(texts_, text_count_, capacity);
    text_capacity_ = capacity;
}

bool operator==(const StructuralIndex& a, const StructuralIndex& b) noexcept {
    if (a.tag_count_ != b.tag_count_ || a.text_count_ != b.text_count_) return false;
    const uint64_t n = a.tag_count_;
    const auto same = [n](const auto& x, const auto& y) { return n == 0 || std::equal(&x[0], &x[0] + n, &y[0]); };
    if (!same(a.starts_, b.starts_) || !same(a.ends_, b.ends_) || !same(a.kinds_, b.kinds_) ||
        !same(a.name_offsets_, b.name_offsets_) || !same(a.name_lengths_, b.name_lengths_))
        return false;
    return a.text_count_ == 0 || std::equal(&a.texts_[0], &a.texts_[0] + a.text_count_, &b.texts_[0]);
}

}  // namespace brindxml
