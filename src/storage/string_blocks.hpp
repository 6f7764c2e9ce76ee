// The many short strings one call makes (a tree built from dicts, the
// decoded texts of a parse), packed into shared blocks: each is a View into a
// block, which is a SourceText of its own. A string then costs no allocation
// and no allocator header of its own, and dropping a tree returns its
// references in batches instead of freeing each string. A block lives as long
// as any string in it.
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
    // Strings longer than `longest` bytes get a buffer of their own, so that
    // none of them alone keeps a block alive and no block is mostly one string.
    explicit StringBlocks(uint64_t longest) noexcept : longest_(longest < kBlockBytes ? longest : kBlockBytes) {}
    StringBlocks(const StringBlocks&) = delete;
    StringBlocks& operator=(const StringBlocks&) = delete;
    // Gives back the references not handed out.
    ~StringBlocks() { finish_block(); }

    uint64_t longest() const noexcept { return longest_; }

    // Throws std::bad_alloc.
    NodeString copy(std::string_view bytes) {
        if (bytes.empty()) return NodeString();
        if (bytes.size() > longest_) return NodeString::owned_copy(bytes);
        std::memcpy(room(bytes.size()), bytes.data(), bytes.size());
        return commit(bytes.size());
    }

    // Room for up to `size` bytes (at most longest()) to be written, then
    // kept with commit(); room asked for and not committed is reused.
    // Throws std::bad_alloc.
    char* room(uint64_t size) {
        if (!block_ || size > kBlockBytes - used_) start_block();
        return data_ + used_;
    }
    // The first `size` bytes of the last room, as a string.
    NodeString commit(uint64_t size) {
        if (size == 0) return NodeString();
        if (unused_ == 0) {
            block_->retain_many(kBatch);
            unused_ = kBatch;
        }
        NodeString view = NodeString::view_adopting(block_, used_, used_ + size);
        --unused_;
        used_ += size;
        return view;
    }

private:
    static constexpr uint64_t kBlockBytes = uint64_t{32} << 10;
    static constexpr int64_t kBatch = 1024;

    void start_block() {
        std::unique_ptr<char[]> buffer(new char[kBlockBytes]);
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

    uint64_t longest_;
    SourceText* block_ = nullptr;
    char* data_ = nullptr;
    uint64_t used_ = 0;
    int64_t unused_ = 0;
};

}  // namespace brindxml
