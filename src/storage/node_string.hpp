// The string type of the node model: an owned UTF-8 buffer or a view into a
// shared SourceText. Its value is its bytes, whatever the variant.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "storage/source_text.hpp"

namespace brindxml {

class NodeString {
public:
    enum class Variant : uint8_t { Owned = 0, View = 1 };

    NodeString() noexcept = default;

    // An owned copy of `bytes`.
    static NodeString owned_copy(std::string_view bytes) {
        NodeString s;
        if (!bytes.empty()) {
            char* buffer = static_cast<char*>(std::malloc(bytes.size()));
            if (!buffer) throw std::bad_alloc();
            std::memcpy(buffer, bytes.data(), bytes.size());
            s.data_ = buffer;
            s.size_ = bytes.size();
        }
        return s;
    }
    // Takes over a buffer allocated with std::malloc.
    static NodeString adopt(char* malloc_buffer, uint64_t size) noexcept {
        NodeString s;
        s.data_ = malloc_buffer;
        s.size_ = size;
        return s;
    }
    // A view of [begin, end) of `source`; takes a new reference to it.
    static NodeString view(SourceText* source, uint64_t begin, uint64_t end) noexcept {
        source->retain();
        return view_adopting(source, begin, end);
    }
    // A view of [begin, end) of `source` that takes over one reference the
    // caller already holds (taken with SourceText::retain_many).
    static NodeString view_adopting(SourceText* source, uint64_t begin, uint64_t end) noexcept {
        NodeString s;
        s.source_ = source;
        s.data_ = const_cast<char*>(source->data() + begin);
        s.size_ = end - begin;
        return s;
    }

    NodeString(const NodeString& other) : size_(other.size_), source_(other.source_) {
        if (source_) {
            source_->retain();
            data_ = other.data_;
        } else if (size_) {
            // An owned string's size came from a buffer in memory: it fits size_t.
            const size_t bytes = static_cast<size_t>(size_);
            data_ = static_cast<char*>(std::malloc(bytes));
            if (!data_) throw std::bad_alloc();
            std::memcpy(data_, other.data_, bytes);
        }
    }
    NodeString(NodeString&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          source_(std::exchange(other.source_, nullptr)) {}
    NodeString& operator=(const NodeString& other) {
        if (this != &other) *this = NodeString(other);
        return *this;
    }
    NodeString& operator=(NodeString&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            source_ = std::exchange(other.source_, nullptr);
        }
        return *this;
    }
    ~NodeString() { reset(); }

    std::string_view bytes() const noexcept { return {data_, static_cast<size_t>(size_)}; }
    const char* data() const noexcept { return data_; }
    uint64_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    Variant variant() const noexcept { return source_ ? Variant::View : Variant::Owned; }
    bool is_view() const noexcept { return source_ != nullptr; }
    SourceText* source() const noexcept { return source_; }

    // Empties the string. A View's reference is not released but handed to
    // the caller, who returns it (see ViewReleaseBatch); an Owned buffer is
    // freed and null is returned.
    SourceText* give_up() noexcept {
        SourceText* source = std::exchange(source_, nullptr);
        if (!source && data_) std::free(data_);
        data_ = nullptr;
        size_ = 0;
        return source;
    }

    friend bool operator==(const NodeString& a, const NodeString& b) noexcept {
        return a.bytes() == b.bytes();
    }
    friend bool operator==(const NodeString& a, std::string_view b) noexcept {
        return a.bytes() == b;
    }

private:
    void reset() noexcept {
        if (source_) {
            source_->release();
            source_ = nullptr;
        } else if (data_) {  // moved-from strings are common: skip the call
            std::free(data_);
        }
        data_ = nullptr;
        size_ = 0;
    }

    char* data_ = nullptr;       // owned buffer, or the first viewed byte
    uint64_t size_ = 0;
    SourceText* source_ = nullptr;  // set for a View
};

using OptionalNodeString = std::optional<NodeString>;

inline std::string_view bytes_of(const NodeString& s) noexcept { return s.bytes(); }

}  // namespace brindxml
