#include "base/table_blocks.hpp"

#include <new>

namespace brindxml {

namespace {

using Header = TableBlocks::Header;

constexpr size_t kHeaderBytes = (sizeof(Header) + TableBlocks::kAlignment - 1) & ~(TableBlocks::kAlignment - 1);
// A parse's first block is small, so that a small document does not keep a
// large block alive; each next one is twice the size, up to kFullBlock. A
// document's tables then take at most twice their size and the first block.
constexpr size_t kFirstBlock = 512;
constexpr size_t kFullBlock = 64 * 1024;
// Large enough that no parse's own count of tables comes near it.
constexpr uint64_t kOpen = uint64_t{1} << 62;
// Freed full-size blocks a thread keeps for its next parse: 8 MiB, about the
// tables of a 3 MB document of elements with several attributes each.
constexpr uint32_t kKeptBlocks = 128;

// A thread's kept blocks. Plain data, so that it is usable at any point of
// the thread's life. Only a thread that parses keeps blocks: it registers the
// owner that frees them when the thread ends while it starts a block, where
// allocating is allowed (registering may allocate; giving a block back,
// which happens while a tree is dropped, must not).
struct KeptBlocks {
    enum State : uint8_t { Unregistered, Open, Closed };
    Header* first;
    uint32_t count;
    State state;
};
thread_local KeptBlocks kept{};

struct KeptBlocksOwner {
    ~KeptBlocksOwner() {
        kept.state = KeptBlocks::Closed;
        while (Header* block = kept.first) {
            kept.first = block->next;
            ::operator delete(block);
        }
        kept.count = 0;
    }
};

void register_kept_blocks() {
    if (kept.state != KeptBlocks::Unregistered) return;
    static thread_local KeptBlocksOwner owner;
    (void)owner;
    kept.state = KeptBlocks::Open;
}

void give_back(Header* block) noexcept {
    if (block->bytes == kFullBlock && kept.state == KeptBlocks::Open && kept.count < kKeptBlocks) {
        block->next = kept.first;
        kept.first = block;
        ++kept.count;
        return;
    }
    ::operator delete(block);
}

Header* new_block(size_t bytes) {
    register_kept_blocks();
    if (bytes == kFullBlock && kept.first) {
        Header* block = kept.first;
        kept.first = block->next;
        --kept.count;
        return block;
    }
    // From operator new, as a table of its own is: the same alignment.
    return ::new (::operator new(bytes)) Header{};
}

}  // namespace

void TableBlocks::start_block(size_t at_least) {
    finish_block();
    size_t bytes = next_bytes_ ? next_bytes_ : kFirstBlock;
    while (bytes - kHeaderBytes < at_least) bytes *= 2;
    // A block smaller than the schedule's when the tables still to come
    // cannot fill it (this one and the rest, each the size of this one).
    if (still_expected_ < (bytes - kHeaderBytes) / at_least - 1)
        bytes = kHeaderBytes + (static_cast<size_t>(still_expected_) + 1) * at_least;
    Header* block = new_block(bytes);
    block->live.store(kOpen, std::memory_order_relaxed);
    block->bytes = static_cast<uint32_t>(bytes);
    block->next = nullptr;
    block_ = block;
    used_ = kHeaderBytes;
    handed_out_ = 0;
    next_bytes_ = bytes < kFullBlock ? bytes * 2 : kFullBlock;
}

void TableBlocks::finish_block() noexcept {
    Header* block = block_;
    if (!block) return;
    block_ = nullptr;
    // Whoever brings the count to zero, this or the last table's release, frees the block.
    if (block->live.fetch_sub(kOpen - handed_out_, std::memory_order_acq_rel) == kOpen - handed_out_) give_back(block);
}

void TableBlocks::release(void* table, uint16_t distance) noexcept {
    auto* block = reinterpret_cast<Header*>(static_cast<char*>(table) - size_t{distance} * kAlignment);
    if (block->live.fetch_sub(1, std::memory_order_acq_rel) == 1) give_back(block);
}

}  // namespace brindxml
