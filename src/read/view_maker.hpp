// Makes the View strings of one parse. References to the source text are
// taken in batches, so a view costs no atomic update of its own.
#pragma once

#include <cstdint>

#include "storage/node_string.hpp"
#include "storage/source_text.hpp"

namespace brindxml {

class ViewMaker {
public:
    explicit ViewMaker(SourceText* source) noexcept : source_(source) {}
    ViewMaker(const ViewMaker&) = delete;
    ViewMaker& operator=(const ViewMaker&) = delete;
    // Gives back the references not handed out.
    ~ViewMaker() { source_->release_many(unused_); }

    SourceText* source() const noexcept { return source_; }
    const char* document() const noexcept { return source_->data(); }

    NodeString view(uint64_t begin, uint64_t end) {
        if (unused_ == 0) {
            source_->retain_many(kBatch);
            unused_ = kBatch;
        }
        NodeString view = NodeString::view_adopting(source_, begin, end);
        --unused_;
        return view;
    }

private:
    static constexpr int64_t kBatch = 4096;
    SourceText* source_;
    int64_t unused_ = 0;
};

}  // namespace brindxml
