// A growable byte buffer on malloc/realloc. Large buffers live in their own
// memory mappings, which realloc can grow in place (mremap) instead of copying
// them and touching fresh pages at every doubling, as std::string does.
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace brindxml {

class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~ByteBuffer() { std::free(data_); }

    void reserve(size_t bytes) {
        if (bytes > capacity_) grow_to(bytes);
    }
    void append(const char* bytes, size_t count) {
        // An empty piece may have no storage at all (a null pointer).
        if (count == 0) return;
        if (count > capacity_ - size_) grow_for(count);
        std::memcpy(data_ + size_, bytes, count);
        size_ += count;
    }
    void append_repeated(char byte, size_t count) {
        if (count == 0) return;
        if (count > capacity_ - size_) grow_for(count);
        std::memset(data_ + size_, byte, count);
        size_ += count;
    }
    void clear() noexcept { size_ = 0; }

    size_t size() const noexcept { return size_; }
    std::string_view bytes() const noexcept { return {data_, size_}; }
    static constexpr size_t max_size() noexcept { return static_cast<size_t>(-1) / 4; }

private:
    void grow_for(size_t extra) {
        if (extra > max_size() - size_) throw std::bad_alloc();
        const size_t needed = size_ + extra;
        size_t next = capacity_ < 4096 ? 4096 : capacity_ + capacity_ / 2;
        if (next < needed) next = needed;
        if (next > max_size()) next = max_size();
        grow_to(next);
    }
    void grow_to(size_t capacity) {
        void* grown = std::realloc(data_, capacity);
        if (!grown) throw std::bad_alloc();
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace brindxml
