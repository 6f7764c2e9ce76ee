// The bitmap scanner: one pass marks every `<`, `>`, `"` and `'` of the
// document in a bitmap, eight bytes per step; the rules then walk the marks
// instead of searching bytes. Marks are found without regard to quotes: the
// rules decide which ones matter, exactly as for the tag-seeking scanner.
#include <bit>
#include <memory>
#include <new>

#include "base/bytes.hpp"
#include "index/scan_rules.hpp"
#include "index/scanners.hpp"

namespace brindxml {

namespace {

// Bit i of the result is set when byte i of the eight at `p` is `<`, `>`, `"` or `'`.
inline uint64_t mark_bits(const char* p) noexcept {
    using namespace bytes;
    const uint64_t word = load_word(p);
    // `<` (0x3C) and `>` (0x3E) differ only in bit 1.
    const uint64_t angle = equal_lanes(word | repeated(0x02), repeated('>'));
    const uint64_t quote = equal_lanes(word, repeated('"')) | equal_lanes(word, repeated('\''));
    return lane_bits(angle | quote);
}

inline bool is_mark(char c) noexcept { return c == '<' || c == '>' || c == '"' || c == '\''; }

class MarkBitmap {
public:
    explicit MarkBitmap(std::string_view document)
        : doc_(document.data()), len_(document.size()), word_count_((len_ + 63) / 64) {
        if (word_count_ == 0) return;
        words_.reset(new uint64_t[word_count_]);
        const uint64_t whole = len_ / 64;
        for (uint64_t w = 0; w < whole; ++w) {
            const char* block = doc_ + w * 64;
            uint64_t bits = 0;
            if constexpr (bytes::kLittleEndian) {
                for (int k = 0; k < 8; ++k) bits |= mark_bits(block + 8 * k) << (8 * k);
            } else {
                for (int k = 0; k < 64; ++k) bits |= uint64_t{is_mark(block[k])} << k;
            }
            words_[static_cast<size_t>(w)] = bits;
        }
        if (whole < word_count_) {
            uint64_t bits = 0;
            for (uint64_t i = whole * 64; i < len_; ++i) bits |= uint64_t{is_mark(doc_[i])} << (i % 64);
            words_[static_cast<size_t>(whole)] = bits;
        }
    }

    // The first marked position at or after `from`, or the document length.
    uint64_t next_mark(uint64_t from) const noexcept {
        if (from >= len_) return len_;
        uint64_t w = from / 64;
        uint64_t bits = words_[static_cast<size_t>(w)] & (~uint64_t{0} << (from % 64));
        while (bits == 0) {
            if (++w == word_count_) return len_;
            bits = words_[static_cast<size_t>(w)];
        }
        return w * 64 + static_cast<uint64_t>(std::countr_zero(bits));
    }

    uint64_t next_lt(uint64_t from) const noexcept { return next_equal(from, '<'); }
    uint64_t next_gt(uint64_t from) const noexcept { return next_equal(from, '>'); }
    uint64_t next_quote(uint64_t from, char quote) const noexcept { return next_equal(from, quote); }
    uint64_t next_tag_stop(uint64_t from) const noexcept {
        uint64_t at = next_mark(from);
        while (at < len_ && doc_[at] == '<') at = next_mark(at + 1);
        return at;
    }

private:
    uint64_t next_equal(uint64_t from, char wanted) const noexcept {
        uint64_t at = next_mark(from);
        while (at < len_ && doc_[at] != wanted) at = next_mark(at + 1);
        return at;
    }

    const char* doc_;
    uint64_t len_;
    uint64_t word_count_;
    std::unique_ptr<uint64_t[]> words_;
};

}  // namespace

Result<StructuralIndex, IndexError> scan_bitmap(std::string_view document) {
    const MarkBitmap marks(document);
    return scan_rules::scan(document, marks);
}

}  // namespace brindxml
