#include "write/snapshot_memory.hpp"

#include <atomic>

#include "platform/system.hpp"

namespace brindxml::snapshot_memory {

namespace {

// The cache: a few slots, each empty or holding one block whose first word
// is its size. Taking and giving are single atomic exchanges, without a lock,
// so a fork() in the middle of either leaves nothing locked in the child
// (at worst one block is forgotten there).
constexpr size_t kSlots = 8;
constexpr size_t kPage = 4096;

struct Cache {
    std::atomic<void*> slots[kSlots] = {};
    std::atomic<size_t> bytes{0};
};

Cache& cache() noexcept {
    static Cache instance;
    return instance;
}

size_t block_size(void* block) noexcept {
    size_t bytes;
    std::memcpy(&bytes, block, sizeof bytes);
    return bytes;
}

size_t whole_pages(size_t bytes) noexcept {
    return bytes > static_cast<size_t>(-1) - kPage ? 0 : (bytes + kPage - 1) / kPage * kPage;
}

}  // namespace

void* take_block(size_t& bytes) noexcept {
    const size_t wanted = whole_pages(bytes);
    if (!wanted) return nullptr;
    Cache& c = cache();
    for (std::atomic<void*>& slot : c.slots) {
        if (!slot.load(std::memory_order_relaxed)) continue;
        void* block = slot.exchange(nullptr, std::memory_order_acquire);
        if (!block) continue;
        const size_t size = block_size(block);
        c.bytes.fetch_sub(size, std::memory_order_relaxed);
        if (size >= wanted) {
            bytes = size;
            return block;
        }
        // Too small: grown (in place when the system can).
        size_t grown_bytes = wanted;
        if (void* grown = grow_block(block, size, grown_bytes)) {
            bytes = grown_bytes;
            return grown;
        }
        platform::unmap_pages(block, size);
        return nullptr;
    }
    void* block = platform::map_pages(wanted);
    if (block) bytes = wanted;
    return block;
}

void* grow_block(void* block, size_t old_bytes, size_t& bytes) noexcept {
    const size_t wanted = whole_pages(bytes);
    if (!wanted) return nullptr;
    void* grown = platform::remap_pages(block, old_bytes, wanted);
    if (grown) bytes = wanted;
    return grown;
}

void give_block(void* block, size_t bytes) noexcept {
    if (!block) return;
    Cache& c = cache();
    if (bytes <= kCachedBytes && c.bytes.fetch_add(bytes, std::memory_order_relaxed) + bytes <= kCachedBytes) {
        std::memcpy(block, &bytes, sizeof bytes);
        for (std::atomic<void*>& slot : c.slots) {
            void* empty = nullptr;
            if (slot.compare_exchange_strong(empty, block, std::memory_order_release, std::memory_order_relaxed))
                return;
        }
        c.bytes.fetch_sub(bytes, std::memory_order_relaxed);
    } else if (bytes <= kCachedBytes) {
        c.bytes.fetch_sub(bytes, std::memory_order_relaxed);
    }
    platform::unmap_pages(block, bytes);
}

size_t cached_bytes() noexcept { return cache().bytes.load(std::memory_order_relaxed); }

}  // namespace brindxml::snapshot_memory
