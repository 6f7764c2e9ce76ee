// Copies of the many short strings one call makes (a tree built from dicts),
// packed into shared blocks: each copy is a View into a block, which is a
// SourceText of its own. A copy then costs no allocation and no allocator
// header of its own, and dropping a tree returns its references in batches
// instead of freeing each string. A block lives as long as a string in it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "storage/node_string.hpp"
#include "storage/source_text.hpp"

namespace brindxml {

class StringBlocks {
public:
    StringBlocks() noexcept = default;
    StringBlocks(const StringBlocks&) = delete;
    StringBlocks& operator=(const StringBlocks&) = delete;
    // Gives back the references not handed out.
    ~StringBlocks() { finish_block(); }

    // Throws std::bad_alloc.
    NodeString copy(std::string_view bytes) {
        if (bytes.empty()) return NodeString();
        // A long string gets a buffer of its own, so that it alone keeps no
        // block alive and no block is mostly one string.
        if (bytes.size() > kLongest) return NodeString::owned_copy(bytes);
        if (bytes.size() > kBlockBytes - used_ || !block_) start_block();
        if (unused_ == 0) {
            block_->retain_many(kBatch);
            unused_ = kBatch;
        }
        std::memcpy(data_ + used_, bytes.data(), bytes.size());
        NodeString view = NodeString::view_adopting(block_, used_, used_ + bytes.size());
        --unused_;
        used_ += bytes.size();
        return view;
    }

private:
    static constexpr uint64_t kBlockBytes = uint64_t{32} << 10;
    static constexpr uint64_t kLongest = 512;
    static constexpr int64_t kBatch = 1024;

    void start_block() {
        std::unique_ptr<char[]> buffer(new char[kBlockBytes]());
        SourceText* block = SourceText::owned(buffer.get(), kBlockBytes);
        finish_block();
        block_ = block;            // the one reference it was made with is ours
        data_ = buffer.release();  // written only where no view reaches yet
        used_ = 0;
    }
    // Drops this object's own reference and the unused batch.
    void finish_block() noexcept {
        if (!block_) return;
        block_->release_many(unused_ + 1);
        block_ = nullptr;
        unused_ = 0;
    }

    SourceText* block_ = nullptr;
    char* data_ = nullptr;
    uint64_t used_ = 0;
    int64_t unused_ = 0;
};

}  // namespace brindxml
