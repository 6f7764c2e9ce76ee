#include "storage/source_text.hpp"

#include <atomic>
#include <cstring>

namespace brindxml {

namespace {
std::atomic<SourceText::OwnerRelease> owner_release{nullptr};
std::atomic<SourceText::AttachmentRelease> attachment_release{nullptr};
}  // namespace

void SourceText::set_owner_release(OwnerRelease release) noexcept {
    owner_release.store(release, std::memory_order_release);
}

void SourceText::set_attachment_release(AttachmentRelease release) noexcept {
    attachment_release.store(release, std::memory_order_release);
}

SourceText* SourceText::python_backed(void* owner, const char* data, uint64_t length) {
    return new SourceText(Kind::PythonBacked, owner, data, length);
}

SourceText* SourceText::owned(char* buffer, uint64_t length) {
    return new SourceText(Kind::Owned, buffer, buffer, length);
}

SourceText* SourceText::copy_of(std::string_view bytes) {
    char* buffer = new char[bytes.size() + 1];
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    buffer[bytes.size()] = '\0';
    return owned(buffer, bytes.size());
}

void SourceText::destroy() noexcept {
    if (void* attached = attachment_.load(std::memory_order_acquire)) {
        if (auto release = attachment_release.load(std::memory_order_acquire)) release(attached);
    }
    if (kind_ == Kind::Owned) {
        delete[] static_cast<char*>(owner_);
    } else if (auto release = owner_release.load(std::memory_order_acquire)) {
        release(owner_);
    }
    delete this;
}

}  // namespace brindxml
