// Memory for the many small tables one parse makes (an element's attribute
// map each), carved from shared blocks instead of one allocation each. A
// table is freed on its own, on any thread, as its owner goes; its block goes
// when its last table does. A thread keeps a few freed full-size blocks for
// its next parse, so that parsing again takes no fresh memory from the system.
//
// A table in a block ends with two bytes (see TableBlocks::Room) that say how
// far it lies from its block's header; zero there means a table of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace brindxml {

class TableBlocks {
public:
    // Tables are placed at this alignment (a map keeps bits of its own in the
    // low bits of a table's address).
    static constexpr size_t kAlignment = 16;
    // Tables larger than this get an allocation of their own.
    static constexpr size_t kLargestTable = 4096;

    // At the start of every block.
    struct Header {
        // The tables of the block still alive, plus a large bias while a
        // parse still places tables in it.
        std::atomic<uint64_t> live;
        uint32_t bytes;  // the block's size, header included
        Header* next;    // in a thread's list of kept blocks
    };

    TableBlocks() noexcept = default;
    TableBlocks(const TableBlocks&) = delete;
    TableBlocks& operator=(const TableBlocks&) = delete;
    // The block being filled lives on while tables in it do.
    ~TableBlocks() { finish_block(); }

    // Room for a table of `bytes` (at most kLargestTable), and the distance
    // the table must record in its last two bytes; or none (`at` null) for
    // the first few tables, which get allocations of their own: a document
    // of a few elements then keeps no block at all. Throws std::bad_alloc.
    struct Room {
        void* at;
        uint16_t distance;  // from the block's header, in units of kAlignment (0 without room)
    };
    // At most one table each for `owners` more owners, each announced with
    // next_owner() before its table is asked for: no block is made larger
    // than the tables still to come can fill, each the size of the one that
    // starts it.
    void expect_at_most(uint64_t owners) noexcept { still_expected_ = owners; }
    void next_owner() noexcept {
        if (still_expected_ != kUnknown && still_expected_ > 0) --still_expected_;
    }

    Room take(size_t bytes) {
        if (declined_ < kOwnAllocations) {
            ++declined_;
            return Room{nullptr, 0};
        }
        const size_t rounded = (bytes + kAlignment - 1) & ~(kAlignment - 1);
        if (!block_ || block_->bytes - used_ < rounded) start_block(rounded);
        Room room{reinterpret_cast<char*>(block_) + used_, static_cast<uint16_t>(used_ / kAlignment)};
        used_ += rounded;
        ++handed_out_;
        return room;
    }

    // Frees a table that was placed `distance` units after its block's header.
    static void release(void* table, uint16_t distance) noexcept;

private:
    static constexpr uint32_t kOwnAllocations = 4;
    static constexpr uint64_t kUnknown = ~uint64_t{0};

    void start_block(size_t at_least);
    void finish_block() noexcept;

    Header* block_ = nullptr;
    size_t used_ = 0;
    uint64_t handed_out_ = 0;             // tables of the current block
    size_t next_bytes_ = 0;               // the size of the next block
    uint32_t declined_ = 0;               // tables sent to allocations of their own
    uint64_t still_expected_ = kUnknown;  // owners still to come, after the current one
};

}  // namespace brindxml
