// The bitmap scanner: the document is classified a chunk of 64-byte blocks
// at a time into bitmaps of its `<`, `>`, `"` and `'` bytes and of the bytes
// that may end a name (byte_classes.hpp), and the rules find each next markup
// byte by counting the trailing zeros of a bitmap instead of searching bytes. Marks are found without regard to
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

constexpr uint64_t kChunkBlocks = 16;
using ChunkMasks = std::array<BlockMasks, kChunkBlocks>;

// Classifies the chunk of blocks from block `first` on into `out`. A last
// block that the document does not fill is classified from a copy padded with
// zero bytes, which match nothing. Kept out of line: it runs once per chunk,
// and the scan's loop stays small.
#if defined(__GNUC__) || defined(__clang__)
[[gnu::noinline]]
#endif
void classify_chunk(ClassifyBlocks classify, const char* doc, uint64_t len, uint64_t first, BlockMasks* out) noexcept {
    const uint64_t block_count = (len + kBlockBytes - 1) / kBlockBytes;
    const auto count = static_cast<size_t>(std::min(kChunkBlocks, block_count - first));
    const char* data = doc + first * kBlockBytes;
    if ((first + count) * kBlockBytes <= len) {
        classify(data, count, out);
    } else {
        classify(data, count - 1, out);
        std::array<char, kBlockBytes> tail{};
        const uint64_t tail_start = (first + count - 1) * kBlockBytes;
        std::memcpy(tail.data(), doc + tail_start, static_cast<size_t>(len - tail_start));
        classify(tail.data(), 1, out + count - 1);
    }
}

class BlockFinder {
public:
    BlockFinder(std::string_view document, ClassifyBlocks classify, ChunkMasks& masks) noexcept
        : doc_(document.data()),
          len_(document.size()),
          block_count_((len_ + kBlockBytes - 1) / kBlockBytes),
          classify_(classify),
          masks_(masks.data()) {}

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

    // The name marks hold every byte that ends a name of some kind, and
    // the other control bytes: the rules' table decides.
    uint64_t name_end(uint64_t from, uint8_t stops) const noexcept {
        const auto* u = reinterpret_cast<const unsigned char*>(doc_);
        for (;;) {
            const uint64_t at = next(from, [](const BlockMasks& m) { return m.name; });
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
        uint64_t k = block - chunk_start_;  // wraps around for a block before the chunk
        if (k >= kChunkBlocks) {
            chunk_start_ = block - block % kChunkBlocks;
            classify_chunk(classify_, doc_, len_, chunk_start_, masks_);
            k = block % kChunkBlocks;
        }
        return masks_[static_cast<size_t>(k)];
    }

    const char* doc_;
    uint64_t len_;
    uint64_t block_count_;
    ClassifyBlocks classify_;
    BlockMasks* masks_;  // of the chunk starting at block chunk_start_
    mutable uint64_t chunk_start_ = ~uint64_t{0} - kChunkBlocks;
};

}  // namespace

Result<StructuralIndex, IndexError> scan_bitmap(std::string_view document, ScanPath path) {
    ChunkMasks masks{};
    const BlockFinder finder(document, block_classifier(path), masks);
    return scan_rules::scan(document, finder);
}

Result<bool, IndexError> scan_bitmap_window(std::string_view document, ScanPath path, uint64_t& position,
                                            StructuralIndex& window) {
    // A window's first search classifies its chunk afresh: a chunk of blocks
    // is 1 KiB, a window some hundreds.
    ChunkMasks masks{};
    const BlockFinder finder(document, block_classifier(path), masks);
    return scan_rules::scan_window(document, finder, position, window);
}

Result<StructuralIndex, IndexError> scan_bitmap(std::string_view document) {
    return scan_bitmap(document, fastest_scan_path());
}

}  // namespace brindxml
