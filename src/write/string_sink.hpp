// The in-memory sink of write_string: a growable byte buffer that never fails
// except by memory exhaustion (std::bad_alloc).
#pragma once

#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "write/sink.hpp"

namespace brindxml {

// The string's own geometric growth is the growth policy. (Keeping the string
// at full size and tracking the length apart was measured: the zero-filling
// on growth cost more than the calls it saved.)
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
    WriteStatus append_spaces(SpaceCount count) {
        if (count > buffer_.max_size() - buffer_.size()) throw std::bad_alloc();
        buffer_.append(static_cast<size_t>(count), ' ');
        return {};
    }

    size_t size() const noexcept { return buffer_.size(); }
    std::string_view bytes() const noexcept { return buffer_; }
    std::string take() noexcept { return std::move(buffer_); }

private:
    std::string buffer_;
};

static_assert(ByteSink<StringSink>);

}  // namespace brindxml
