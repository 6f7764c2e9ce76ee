// The immutable UTF-8 text of one parsed document, shared by every view into it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brindxml {

class SourceText {
public:
    enum class Kind : uint8_t { PythonBacked, Owned };

    // Called when the last reference to a PythonBacked text goes away; it
    // receives the opaque owner (a Python str). Installed by the binding layer,
    // which knows whether the reference can be released at once or must wait.
    using OwnerRelease = void (*)(void* owner);
    static void set_owner_release(OwnerRelease release) noexcept;

    // One opaque attachment per text, made by an upper layer for the text (a
    // table of the document's names) and released with it. Attached at most
    // once, by whichever thread gets there first, and never replaced; the
    // hook is installed before the first attachment and may be called on a
    // thread without a Python thread state.
    using AttachmentRelease = void (*)(void* attachment);
    static void set_attachment_release(AttachmentRelease release) noexcept;
    // Takes over `attachment`; false (and nothing taken) if the text has one.
    bool attach(void* attachment) noexcept {
        void* none = nullptr;
        return attachment_.compare_exchange_strong(none, attachment, std::memory_order_acq_rel);
    }
    void* attachment() const noexcept { return attachment_.load(std::memory_order_acquire); }

    // Wraps bytes kept alive by an external owner; the new text has one reference.
    static SourceText* python_backed(void* owner, const char* data, uint64_t length);
    // Takes over a heap buffer allocated with `new char[]`; the new text has one reference.
    static SourceText* owned(char* buffer, uint64_t length);
    // Copies bytes into a new Owned text (convenient for tests and tools).
    static SourceText* copy_of(std::string_view bytes);

    void retain() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept {
        if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
    }
    // Many references at once: the reader takes them in batches for its views
    // (see NodeString::view_adopting) instead of one atomic update per view.
    void retain_many(int64_t count) noexcept { count_.fetch_add(count, std::memory_order_relaxed); }
    void release_many(int64_t count) noexcept {
        if (count > 0 && count_.fetch_sub(count, std::memory_order_acq_rel) == count) destroy();
    }

    const char* data() const noexcept { return data_; }
    uint64_t length() const noexcept { return length_; }
    std::string_view bytes() const noexcept { return {data_, static_cast<size_t>(length_)}; }
    Kind kind() const noexcept { return kind_; }
    int64_t reference_count() const noexcept { return count_.load(std::memory_order_relaxed); }

    SourceText(const SourceText&) = delete;
    SourceText& operator=(const SourceText&) = delete;

private:
    SourceText(Kind kind, void* owner, const char* data, uint64_t length) noexcept
        : kind_(kind), owner_(owner), data_(data), length_(length) {}
    ~SourceText() = default;
    void destroy() noexcept;

    std::atomic<int64_t> count_{1};
    std::atomic<void*> attachment_{nullptr};
    Kind kind_;
    void* owner_;  // the Python str (PythonBacked) or the heap buffer (Owned)
    const char* data_;
    uint64_t length_;
};

// Owning handle for one reference to a SourceText.
class SourceRef {
public:
    SourceRef() noexcept = default;
    explicit SourceRef(SourceText* adopted) noexcept : text_(adopted) {}
    SourceRef(const SourceRef& other) noexcept : text_(other.text_) { if (text_) text_->retain(); }
    SourceRef(SourceRef&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }
    SourceRef& operator=(SourceRef other) noexcept { std::swap(text_, other.text_); return *this; }
    ~SourceRef() { if (text_) text_->release(); }

    SourceText* get() const noexcept { return text_; }
    SourceText* operator->() const noexcept { return text_; }
    explicit operator bool() const noexcept { return text_ != nullptr; }

private:
    SourceText* text_ = nullptr;
};

}  // namespace brindxml
