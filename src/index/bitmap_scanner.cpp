// The bitmap scanner: the document is classified a chunk of 64-byte blocks
// at a time into bitmaps of its `<`, `>`, `"` and `'` bytes (byte_classes.hpp),
// and the rules find each next markup byte by counting the trailing zeros of
// a bitmap instead of searching bytes. Marks are found without regard to
// quotes: the rules decide which ones matter, exactly as for the tag-seeking
// scanner. Only the current chunk's bitmaps are kept; the rules move forward
// through the document almost always, and a step back (after a quote that is
// never closed) classifies its chunk again.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "index/byte_classes.hpp"
#include "index/scan_rules.hpp"
#include "index/scanners.hpp"

namespace brindxml {

namespace {

class BlockFinder {
public:
    BlockFinder(std::string_view document, ClassifyBlocks classify) noexcept
        : doc_(document.data()),
          len_(document.size()),
          block_count_((len_ + kBlockBytes - 1) / kBlockBytes),
          classify_(classify) {}

    uint64_t next_lt(uint64_t from) const noexcept {
        return next(from, [](const BlockMasks& m) { return m.lt; });
    }
    uint64_t next_gt(uint64_t from) const noexcept {
        return next(from, [](const BlockMasks& m) { return m.gt; });
    }
    uint64_t next_quote(uint64_t from, char quote) const noexcept {
        if (quote == '"') return next(from, [](const BlockMasks& m) { return m.dq; });
        return next(from, [](const BlockMasks& m) { return m.sq; });
    }
    uint64_t next_tag_stop(uint64_t from) const noexcept {
        return next(from, [](const BlockMasks& m) { return m.gt | m.dq | m.sq; });
    }

    // The bytes that end a name are white space, `>` and for a start tag `/`:
    // the space marks hold the other control bytes too, which are passed over.
    uint64_t name_end(uint64_t from, uint8_t stops) const noexcept {
        const auto* u = reinterpret_cast<const unsigned char*>(doc_);
        for (;;) {
            const uint64_t at = stops == scan_rules::kEndsStartTagName
                                    ? next(from, [](const BlockMasks& m) { return m.space | m.slash | m.gt; })
                                    : next(from, [](const BlockMasks& m) { return m.space | m.gt; });
            if (at >= len_ || (scan_rules::kNameStops[u[at]] & stops)) return at;
            from = at + 1;
        }
    }

    // Within a block, the bytes inside "..." values are those where the
    // count of `"` from the start of the block (the one at hand included) is
    // odd, or even when a value is open at the block's start: the prefix XOR
    // of the `"` bitmap. The opening `"` counts as inside, the closing one
    // not, and neither is a stop.
    uint64_t next_unquoted_stop(uint64_t from) const noexcept {
        if (from >= len_) return len_;
        uint64_t block = from / kBlockBytes;
        uint64_t live = ~uint64_t{0} << (from % kBlockBytes);
        uint64_t open = 0;  // all ones while a value is open
        for (;;) {
            const BlockMasks& m = masks_of(block);
            const uint64_t inside = prefix_xor(m.dq & live) ^ open;
            const uint64_t stops = (m.gt | m.sq) & live & ~inside;
            if (stops) return block * kBlockBytes + static_cast<uint64_t>(std::countr_zero(stops));
            open = uint64_t{0} - (inside >> 63);
            if (++block == block_count_) return len_;
            live = ~uint64_t{0};
        }
    }

private:
    static constexpr uint64_t kChunkBlocks = 16;

    // Bit i of the result is the XOR of bits 0 to i of `bits`.
    static uint64_t prefix_xor(uint64_t bits) noexcept {
        bits ^= bits << 1;
        bits ^= bits << 2;
        bits ^= bits << 4;
        bits ^= bits << 8;
        bits ^= bits << 16;
        bits ^= bits << 32;
        return bits;
    }

    template <class Select>
    uint64_t next(uint64_t from, Select select) const noexcept {
        if (from >= len_) return len_;
        uint64_t block = from / kBlockBytes;
        uint64_t bits = select(masks_of(block)) & (~uint64_t{0} << (from % kBlockBytes));
        while (bits == 0) {
            if (++block == block_count_) return len_;
            bits = select(masks_of(block));
        }
        return block * kBlockBytes + static_cast<uint64_t>(std::countr_zero(bits));
    }

    const BlockMasks& masks_of(uint64_t block) const noexcept {
        if (block / kChunkBlocks != chunk_) load(block / kChunkBlocks);
        return masks_[block % kChunkBlocks];
    }

    // Classifies the blocks of chunk `chunk`. A last block that the document
    // does not fill is classified from a copy padded with zero bytes, which
    // match nothing.
    void load(uint64_t chunk) const noexcept {
        const uint64_t first = chunk * kChunkBlocks;
        const auto count = static_cast<size_t>(std::min(kChunkBlocks, block_count_ - first));
        const char* data = doc_ + first * kBlockBytes;
        const std::span<BlockMasks> out(masks_.data(), count);
        if ((first + count) * kBlockBytes <= len_) {
            classify_(data, out);
        } else {
            classify_(data, out.first(count - 1));
            std::array<char, kBlockBytes> tail{};
            const uint64_t tail_start = (first + count - 1) * kBlockBytes;
            std::memcpy(tail.data(), doc_ + tail_start, static_cast<size_t>(len_ - tail_start));
            classify_(tail.data(), out.last(1));
        }
        chunk_ = chunk;
    }

    const char* doc_;
    uint64_t len_;
    uint64_t block_count_;
    ClassifyBlocks classify_;
    mutable uint64_t chunk_ = ~uint64_t{0};
    mutable std::array<BlockMasks, kChunkBlocks> masks_{};
};

}  // namespace

Result<StructuralIndex, IndexError> scan_bitmap(std::string_view document, ScanPath path) {
    const BlockFinder finder(document, block_classifier(path));
    return scan_rules::scan(document, finder);
}

Result<StructuralIndex, IndexError> scan_bitmap(std::string_view document) {
    return scan_bitmap(document, fastest_scan_path());
}

}  // namespace brindxml
