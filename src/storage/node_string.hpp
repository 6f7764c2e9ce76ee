// The string type of the node model: an owned UTF-8 buffer or a view into a
// shared SourceText. Its value is its bytes, whatever the variant.
//
// Two words, since a parsed tree holds millions of them (a name per element,
// a key and a value per attribute). The low two bits of the first word say
// what the string is:
//   Owned:     a std::malloc buffer (null when empty); the second word is the size.
//   View:      the SourceText; the second word holds the offset of the first
//              byte (high 40 bits) and the size (low 24 bits).
//   Wide view: a view beyond those bounds (16 MiB and longer, or starting
//              past the first TiB of its text): a small heap record holds the
//              text, the first byte and the size.
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
            s.word0_ = reinterpret_cast<uintptr_t>(buffer);
            s.word1_ = bytes.size();
        }
        return s;
    }
    // Takes over a buffer allocated with std::malloc.
    static NodeString adopt(char* malloc_buffer, uint64_t size) noexcept {
        NodeString s;
        s.word0_ = reinterpret_cast<uintptr_t>(malloc_buffer);
        s.word1_ = size;
        return s;
    }
    // A view of [begin, end) of `source`; takes a new reference to it.
    static NodeString view(SourceText* source, uint64_t begin, uint64_t end) {
        source->retain();
        try {
            return view_adopting(source, begin, end);
        } catch (...) {
            source->release();
            throw;
        }
    }
    // A view of [begin, end) of `source` that takes over one reference the
    // caller already holds (taken with SourceText::retain_many). If a wide
    // view's record cannot be allocated, std::bad_alloc is thrown and the
    // reference stays the caller's.
    static NodeString view_adopting(SourceText* source, uint64_t begin, uint64_t end) {
        const uint64_t size = end - begin;
        NodeString s;
        if (begin <= kMaxPackedOffset && size <= kMaxPackedSize) {
            s.word0_ = reinterpret_cast<uintptr_t>(source) | kView;
            s.word1_ = (begin << kSizeBits) | size;
        } else {
            auto* wide = static_cast<WideView*>(std::malloc(sizeof(WideView)));
            if (!wide) throw std::bad_alloc();
            *wide = WideView{source, source->data() + begin, size};
            s.word0_ = reinterpret_cast<uintptr_t>(wide) | kWideView;
        }
        return s;
    }
    // The same view as `other` (a View), taking over one reference to its
    // text that the caller already holds.
    static NodeString same_view_adopting(const NodeString& other) {
        if (other.tag() == kView) {
            NodeString s;
            s.word0_ = other.word0_;
            s.word1_ = other.word1_;
            return s;
        }
        const WideView& wide = *other.wide();
        return view_adopting(wide.source, static_cast<uint64_t>(wide.data - wide.source->data()),
                             static_cast<uint64_t>(wide.data - wide.source->data()) + wide.size);
    }

    NodeString(const NodeString& other) {
        if (SourceText* source = other.source()) {
            source->retain();
            try {
                *this = same_view_adopting(other);
            } catch (...) {
                source->release();
                throw;
            }
        } else if (other.word1_) {
            *this = owned_copy(other.bytes());
        }
    }
    NodeString(NodeString&& other) noexcept
        : word0_(std::exchange(other.word0_, 0)), word1_(std::exchange(other.word1_, 0)) {}
    NodeString& operator=(const NodeString& other) {
        if (this != &other) *this = NodeString(other);
        return *this;
    }
    NodeString& operator=(NodeString&& other) noexcept {
        if (this != &other) {
            reset();
            word0_ = std::exchange(other.word0_, 0);
            word1_ = std::exchange(other.word1_, 0);
        }
        return *this;
    }
    ~NodeString() {
        if (word0_) reset();  // empty and moved-from strings are common: no call for them
    }

    // Views come first: they are what parsed trees are made of.
    std::string_view bytes() const noexcept {
        const uintptr_t t = tag();
        if (t == kView) [[likely]]
            return {reinterpret_cast<const SourceText*>(word0_ - kView)->data() + (word1_ >> kSizeBits),
                    static_cast<size_t>(word1_ & kMaxPackedSize)};
        if (t == kOwned) return {reinterpret_cast<const char*>(word0_), static_cast<size_t>(word1_)};
        return {wide()->data, static_cast<size_t>(wide()->size)};
    }
    const char* data() const noexcept { return bytes().data(); }
    uint64_t size() const noexcept {
        const uintptr_t t = tag();
        if (t == kView) [[likely]] return word1_ & kMaxPackedSize;
        if (t == kOwned) return word1_;
        return wide()->size;
    }
    bool empty() const noexcept { return size() == 0; }
    Variant variant() const noexcept { return tag() == kOwned ? Variant::Owned : Variant::View; }
    bool is_view() const noexcept { return tag() != kOwned; }
    SourceText* source() const noexcept {
        switch (tag()) {
            case kOwned: return nullptr;
            case kView: return reinterpret_cast<SourceText*>(word0_ - kView);
            default: return wide()->source;
        }
    }

    // Empties the string. A View's reference is not released but handed to
    // the caller, who returns it (see ViewReleaseBatch); an Owned buffer is
    // freed and null is returned.
    SourceText* give_up() noexcept {
        const uintptr_t word0 = std::exchange(word0_, 0);
        word1_ = 0;
        switch (word0 & kTagMask) {
            case kOwned:
                if (word0) std::free(reinterpret_cast<void*>(word0));
                return nullptr;
            case kView: return reinterpret_cast<SourceText*>(word0 - kView);
            case kAbsent: return nullptr;
            default: {
                auto* wide = reinterpret_cast<WideView*>(word0 - kWideView);
                SourceText* source = wide->source;
                std::free(wide);
                return source;
            }
        }
    }

    friend bool operator==(const NodeString& a, const NodeString& b) noexcept {
        return a.bytes() == b.bytes();
    }
    friend bool operator==(const NodeString& a, std::string_view b) noexcept {
        return a.bytes() == b;
    }

private:
    friend class OptionalNodeString;
    struct WideView {
        SourceText* source;
        const char* data;
        uint64_t size;
    };
    // kAbsent marks the missing string of an OptionalNodeString, never a string.
    static constexpr uintptr_t kOwned = 0, kView = 1, kWideView = 2, kAbsent = 3, kTagMask = 3;
    static constexpr unsigned kSizeBits = 24;
    static constexpr uint64_t kMaxPackedSize = (uint64_t{1} << kSizeBits) - 1;
    static constexpr uint64_t kMaxPackedOffset = (uint64_t{1} << (64 - kSizeBits)) - 1;
    static_assert(alignof(SourceText) > kTagMask && alignof(std::max_align_t) > kTagMask);

    uintptr_t tag() const noexcept { return word0_ & kTagMask; }
    const WideView* wide() const noexcept { return reinterpret_cast<const WideView*>(word0_ - kWideView); }

    void reset() noexcept {
        if (SourceText* source = give_up()) source->release();
    }

    uintptr_t word0_ = 0;  // the buffer, the SourceText or the wide record, tagged
    uint64_t word1_ = 0;   // the size, or the packed offset and size of a View
};

static_assert(sizeof(NodeString) <= 16);

// A NodeString or none, in the space of one: none is a pattern no string
// has, so an element's text takes 16 bytes, not 24.
class OptionalNodeString {
public:
    OptionalNodeString() noexcept { value_.word0_ = NodeString::kAbsent; }
    OptionalNodeString(std::nullopt_t) noexcept : OptionalNodeString() {}
    OptionalNodeString(NodeString value) noexcept : value_(std::move(value)) {}
    OptionalNodeString(const OptionalNodeString& other) : OptionalNodeString() {
        if (other) value_ = other.value_;
    }
    OptionalNodeString(OptionalNodeString&& other) noexcept : OptionalNodeString() { swap(other); }
    OptionalNodeString& operator=(const OptionalNodeString& other) {
        if (this != &other) {
            OptionalNodeString copy(other);
            swap(copy);
        }
        return *this;
    }
    OptionalNodeString& operator=(OptionalNodeString&& other) noexcept {
        if (this != &other) {
            reset();
            swap(other);
        }
        return *this;
    }
    OptionalNodeString& operator=(std::nullopt_t) noexcept {
        reset();
        return *this;
    }
    OptionalNodeString& operator=(NodeString value) noexcept {
        value_ = std::move(value);
        return *this;
    }

    bool has_value() const noexcept { return value_.word0_ != NodeString::kAbsent; }
    explicit operator bool() const noexcept { return has_value(); }
    NodeString& operator*() noexcept { return value_; }
    const NodeString& operator*() const noexcept { return value_; }
    NodeString* operator->() noexcept { return &value_; }
    const NodeString* operator->() const noexcept { return &value_; }
    void reset() noexcept {
        value_ = NodeString();
        value_.word0_ = NodeString::kAbsent;
    }
    void swap(OptionalNodeString& other) noexcept {
        std::swap(value_.word0_, other.value_.word0_);
        std::swap(value_.word1_, other.value_.word1_);
    }

private:
    NodeString value_;
};

inline std::string_view bytes_of(const NodeString& s) noexcept { return s.bytes(); }

}  // namespace brindxml
