// The in-memory sink of write_string: a growable byte buffer that never fails
// except by memory exhaustion (std::bad_alloc).
#pragma once

#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "write/byte_buffer.hpp"
#include "write/sink.hpp"

namespace brindxml {

// Grows by half its size on malloc/realloc (see ByteBuffer): for large outputs
// realloc remaps pages instead of copying them.
class StringSink {
public:
    StringSink() noexcept = default;

    // Makes room for `bytes` in all (for example the 39 of the declaration).
    void reserve(size_t bytes) { buffer_.reserve(bytes); }
    // Empties the buffer but keeps its room.
    void clear() noexcept { buffer_.clear(); }

    WriteStatus append(std::string_view piece) {
        buffer_.append(piece.data(), piece.size());
        return {};
    }

    // The count is checked before anything is appended, so an absurd indent
    // fails at once instead of growing the buffer towards it.
    WriteStatus append_spaces(uint64_t count) {
        if (count > buffer_.max_size() - buffer_.size()) throw std::bad_alloc();
        buffer_.append_repeated(' ', static_cast<size_t>(count));
        return {};
    }

    size_t size() const noexcept { return buffer_.size(); }
    std::string_view bytes() const noexcept { return buffer_.bytes(); }
    ByteBuffer take() noexcept { return std::move(buffer_); }

private:
    ByteBuffer buffer_;
};

static_assert(ByteSink<StringSink>);

}  // namespace brindxml
