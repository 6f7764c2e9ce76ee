// The file sink of write_file: one 8192-byte buffer in front of a file
// descriptor. Pieces of 8192 bytes or more bypass the buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "base/file_open.hpp"
#include "base/io_error.hpp"
#include "write/sink.hpp"

namespace brindxml {

inline constexpr const char* kFailedToWriteWholeBuffer = "failed to write whole buffer";
inline constexpr const char* kFailedToWriteBufferedData = "failed to write the buffered data";

class BufferedFileWriter {
public:
    static constexpr uint32_t kCapacity = 8192;

    // Allocates the buffer (once, for the writer's lifetime).
    explicit BufferedFileWriter(FileDescriptor file);
    BufferedFileWriter(const BufferedFileWriter&) = delete;
    BufferedFileWriter& operator=(const BufferedFileWriter&) = delete;
    // Tries once more to write what is still buffered (only left after an
    // error), ignoring any failure, then closes the file.
    ~BufferedFileWriter();

    WriteStatus append(std::string_view piece) {
        if (piece.size() < kCapacity - length_) {
            // An empty piece may have no storage at all (a null data pointer).
            if (piece.empty()) return {};
            std::memcpy(buffer_.get() + length_, piece.data(), piece.size());
            length_ += static_cast<uint32_t>(piece.size());
            return {};
        }
        return append_slow(piece);
    }
    // Writes exactly `count` spaces, through the buffer.
    WriteStatus append_spaces(uint64_t count);
    // Writes out everything buffered. On failure, what was written is removed
    // from the front of the buffer and the rest stays.
    WriteStatus flush();

    uint32_t buffered() const noexcept { return length_; }
    std::string_view buffered_bytes() const noexcept { return {buffer_.get(), length_}; }

private:
    WriteStatus append_slow(std::string_view piece);

    FileDescriptor file_;
    std::unique_ptr<char[]> buffer_;
    uint32_t length_ = 0;
};

static_assert(ByteSink<BufferedFileWriter>);

}  // namespace brindxml
