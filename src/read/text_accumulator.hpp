// Collects the text of one open element: its decoded character data and raw
// CDATA content, in document order, trimmed of XML white space (SPACE, TAB,
// CR, LF) when the element closes. Pieces that the final trim would remove
// anyway are never copied: white space before any other text is dropped, and
// white space after it is kept aside until something else follows. So the common shapes (one piece;
// one piece surrounded by indentation) stay views into the document.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "read/white_space.hpp"
#include "storage/node_string.hpp"
#include "read/view_maker.hpp"

namespace brindxml {

class TextAccumulator {
public:
    TextAccumulator() noexcept = default;
    TextAccumulator(TextAccumulator&& other) noexcept
        : state_(other.state_),
          view_begin_(other.view_begin_),
          view_end_(other.view_end_),
          pending_begin_(other.pending_begin_),
          pending_end_(other.pending_end_),
          piece_(std::move(other.piece_)),
          buffer_(std::exchange(other.buffer_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {
        other.state_ = State::Empty;
        other.pending_end_ = other.pending_begin_;
    }
    TextAccumulator& operator=(TextAccumulator&&) = delete;
    TextAccumulator(const TextAccumulator&) = delete;
    ~TextAccumulator() { std::free(buffer_); }

    // Nothing but dropped white space so far.
    bool empty() const noexcept { return state_ == State::Empty; }

    // Appends the document bytes [begin, end).
    void append_view(const char* doc, uint64_t begin, uint64_t end) {
        if (begin == end) return;
        if (is_all_xml_space(doc + begin, end - begin)) {
            if (state_ == State::Empty) return;
            flush_pending(doc);
            pending_begin_ = begin;
            pending_end_ = end;
            return;
        }
        if (state_ == State::Empty) {
            state_ = State::View;
            view_begin_ = begin;
            view_end_ = end;
            return;
        }
        flush_pending(doc);
        append_bytes(doc, doc + begin, end - begin);
    }

    // Appends a decoded (Owned) piece.
    void append_owned(const char* doc, NodeString piece) {
        if (piece.empty()) return;
        if (state_ == State::Empty) {
            if (is_all_xml_space(piece.data(), piece.size())) return;
            state_ = State::Piece;
            piece_ = std::move(piece);
            return;
        }
        flush_pending(doc);
        append_bytes(doc, piece.data(), piece.size());
    }

    // The trimmed text, or nothing when it is empty. Leaves the accumulator empty.
    OptionalNodeString finish(ViewMaker& views) {
        const State state = std::exchange(state_, State::Empty);
        pending_end_ = pending_begin_;
        switch (state) {
            case State::Empty:
                return std::nullopt;
            case State::View: {
                const char* doc = views.document();
                uint64_t begin = view_begin_, end = view_end_;
                begin += leading_xml_space(doc + begin, end - begin);
                end -= trailing_xml_space(doc + begin, end - begin);
                if (begin == end) return std::nullopt;
                return views.view(begin, end);
            }
            case State::Piece: {
                NodeString piece = std::move(piece_);
                const uint64_t lead = leading_xml_space(piece.data(), piece.size());
                const uint64_t trail = trailing_xml_space(piece.data() + lead, piece.size() - lead);
                if (lead == 0 && trail == 0) return piece;
                if (lead + trail == piece.size()) return std::nullopt;
                if (SourceText* source = piece.source()) {
                    // A view (of a block of decoded strings) is trimmed in place.
                    const uint64_t begin = static_cast<uint64_t>(piece.data() - source->data()) + lead;
                    const uint64_t end = begin + (piece.size() - lead - trail);
                    piece.give_up();  // its reference goes to the trimmed view
                    try {
                        return NodeString::view_adopting(source, begin, end);
                    } catch (...) {
                        source->release();
                        throw;
                    }
                }
                return NodeString::owned_copy(piece.bytes().substr(static_cast<size_t>(lead), static_cast<size_t>(piece.size() - lead - trail)));
            }
            case State::Buffer: {
                char* buffer = std::exchange(buffer_, nullptr);
                uint64_t size = std::exchange(size_, 0);
                capacity_ = 0;
                const uint64_t lead = leading_xml_space(buffer, size);
                size -= lead;
                size -= trailing_xml_space(buffer + lead, size);
                if (size == 0) {
                    std::free(buffer);
                    return std::nullopt;
                }
                if (lead) std::memmove(buffer, buffer + lead, static_cast<size_t>(size));
                return NodeString::adopt(buffer, size);
            }
        }
        return std::nullopt;
    }

private:
    enum class State : uint8_t { Empty, View, Piece, Buffer };

    void flush_pending(const char* doc) {
        if (pending_begin_ == pending_end_) return;
        const uint64_t begin = std::exchange(pending_begin_, 0);
        const uint64_t end = std::exchange(pending_end_, 0);
        append_bytes(doc, doc + begin, end - begin);
    }

    // Moves the content into the growable buffer (once) and appends.
    void append_bytes(const char* doc, const char* bytes, uint64_t n) {
        if (state_ != State::Buffer) {
            const char* first = nullptr;
            uint64_t first_size = 0;
            if (state_ == State::View) {
                first = doc + view_begin_;
                first_size = view_end_ - view_begin_;
            } else if (state_ == State::Piece) {
                first = piece_.data();
                first_size = piece_.size();
            }
            reserve(first_size + n);
            if (first_size) std::memcpy(buffer_, first, static_cast<size_t>(first_size));
            size_ = first_size;
            piece_ = NodeString();
            state_ = State::Buffer;
        } else if (size_ + n > capacity_) {
            reserve(size_ + n);
        }
        std::memcpy(buffer_ + size_, bytes, static_cast<size_t>(n));
        size_ += n;
    }

    void reserve(uint64_t wanted) {
        uint64_t capacity = capacity_ ? capacity_ : 64;
        while (capacity < wanted) {
            if (capacity > (uint64_t{1} << 62) || capacity > SIZE_MAX / 2) throw std::bad_alloc();
            capacity *= 2;
        }
        char* grown = static_cast<char*>(std::realloc(buffer_, static_cast<size_t>(capacity)));
        if (!grown) throw std::bad_alloc();
        buffer_ = grown;
        capacity_ = capacity;
    }

    State state_ = State::Empty;
    uint64_t view_begin_ = 0;
    uint64_t view_end_ = 0;
    uint64_t pending_begin_ = 0;  // pending white space, [begin, end) of the document
    uint64_t pending_end_ = 0;
    NodeString piece_;
    char* buffer_ = nullptr;
    uint64_t size_ = 0;
    uint64_t capacity_ = 0;
};

}  // namespace brindxml
