// Memory for the writer's snapshots. Small arrays come from malloc; past
// kMappedFrom bytes an array lives in pages mapped straight from the system,
// which go back to it when the array is released, except that the process
// keeps up to kCachedBytes of such blocks, in all threads together, for the
// next snapshot of any thread. So a thread pool that writes keeps no memory
// per thread, and what the process keeps for the writer is bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace brindxml {

namespace snapshot_memory {

inline constexpr size_t kMappedFrom = size_t{64} << 10;
inline constexpr size_t kCachedBytes = size_t{16} << 20;

// A mapped block of at least `bytes` (a multiple of the page size), from the
// cache when it holds one large enough, else fresh; `bytes` becomes its size.
// Null when there is no memory.
void* take_block(size_t& bytes) noexcept;
// Grows a block to at least `bytes`, keeping its content; `bytes` becomes its
// size. Null on failure, the block then unchanged.
void* grow_block(void* block, size_t old_bytes, size_t& bytes) noexcept;
// Keeps the block for a later snapshot if the cache has room, else unmaps it.
void give_block(void* block, size_t bytes) noexcept;
// The bytes the cache holds now (for tests).
size_t cached_bytes() noexcept;

}  // namespace snapshot_memory

// A growable array of trivially copyable values: on malloc/realloc while
// small, then on mapped blocks (see above).
template <class T>
class FlatArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    FlatArray() noexcept = default;
    FlatArray(const FlatArray&) = delete;
    FlatArray& operator=(const FlatArray&) = delete;
    ~FlatArray() { release(); }

    T& push() {
        if (size_ == capacity_) grow();
        return data_[size_++];
    }
    void clear() noexcept { size_ = 0; }
    // Gives the storage back (to malloc, or to the block cache).
    void release() noexcept {
        if (mapped_bytes_) snapshot_memory::give_block(data_, mapped_bytes_);
        else std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = mapped_bytes_ = 0;
    }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    size_t size() const noexcept { return size_; }
    const T& operator[](size_t i) const noexcept { return data_[i]; }

private:
    static constexpr size_t kFirst = 64;

    void grow() {
        const size_t limit = static_cast<size_t>(-1) / 4 / sizeof(T);
        if (capacity_ >= limit) throw std::bad_alloc();
        const size_t next = capacity_ < kFirst ? kFirst : capacity_ * 2;
        size_t bytes = next * sizeof(T);
        if (bytes <= snapshot_memory::kMappedFrom) {
            void* grown = std::realloc(data_, bytes);
            if (!grown) throw std::bad_alloc();
            data_ = static_cast<T*>(grown);
        } else if (!mapped_bytes_) {
            void* block = snapshot_memory::take_block(bytes);
            if (!block) throw std::bad_alloc();
            if (size_) std::memcpy(block, data_, size_ * sizeof(T));
            std::free(data_);
            data_ = static_cast<T*>(block);
            mapped_bytes_ = bytes;
        } else {
            void* grown = snapshot_memory::grow_block(data_, mapped_bytes_, bytes);
            if (!grown) throw std::bad_alloc();
            data_ = static_cast<T*>(grown);
            mapped_bytes_ = bytes;
        }
        capacity_ = bytes / sizeof(T);
    }

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t mapped_bytes_ = 0;  // the size of the mapped block, 0 while on malloc
};

}  // namespace brindxml
