// A node's children: strong references in order, in one block that holds its
// count, or no block at all for a node without children. One word in the
// node instead of a vector's three: most elements are leaves.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace brindxml {

class ChildArray {
public:
    ChildArray() noexcept = default;
    ChildArray(ChildArray&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    ChildArray& operator=(ChildArray&& other) noexcept {
        if (this != &other) {
            std::free(block_);
            block_ = std::exchange(other.block_, nullptr);
        }
        return *this;
    }
    ChildArray(const ChildArray&) = delete;
    ChildArray& operator=(const ChildArray&) = delete;
    // Frees the block; the references it holds are the owner's to release first.
    ~ChildArray() { std::free(block_); }

    size_t size() const noexcept { return block_ ? block_->count : 0; }
    bool empty() const noexcept { return size() == 0; }
    PyObject* operator[](size_t i) const noexcept { return block_->refs()[i]; }
    PyObject* const* data() const noexcept { return block_ ? block_->refs() : nullptr; }
    PyObject* const* begin() const noexcept { return data(); }
    PyObject* const* end() const noexcept { return data() + size(); }

    // Room for `count` references in all; throws std::bad_alloc.
    void reserve(size_t count) {
        if (count > capacity()) grow_to(count);
    }
    // Appends a reference; throws std::bad_alloc, and the caller keeps the reference.
    void push_back(PyObject* child) {
        const size_t count = size();
        if (count == capacity()) grow_to(count < 4 ? 4 : 2 * count);
        block_->refs()[count] = child;
        block_->count = count + 1;
    }
    // Takes the last reference out (the array is not empty).
    PyObject* pop_back() noexcept { return block_->refs()[--block_->count]; }
    // Forgets every reference (the caller has released them) and keeps the block.
    void clear() noexcept {
        if (block_) block_->count = 0;
    }
    void swap(ChildArray& other) noexcept { std::swap(block_, other.block_); }

private:
    struct Block {
        size_t count;
        size_t capacity;
        PyObject** refs() noexcept { return reinterpret_cast<PyObject**>(this + 1); }
        PyObject* const* refs() const noexcept { return reinterpret_cast<PyObject* const*>(this + 1); }
    };
    static_assert(sizeof(Block) % alignof(PyObject*) == 0);

    size_t capacity() const noexcept { return block_ ? block_->capacity : 0; }
    void grow_to(size_t capacity) {
        if (capacity > (SIZE_MAX - sizeof(Block)) / sizeof(PyObject*)) throw std::bad_alloc();
        const size_t count = size();
        void* grown = std::realloc(block_, sizeof(Block) + capacity * sizeof(PyObject*));
        if (!grown) throw std::bad_alloc();
        block_ = static_cast<Block*>(grown);
        block_->count = count;
        block_->capacity = capacity;
    }

    Block* block_ = nullptr;
};

}  // namespace brindxml
