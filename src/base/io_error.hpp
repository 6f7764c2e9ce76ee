// An error of a file operation, as the core reports it: an operating-system
// error number, or one of the system's own failures with a fixed text.
#pragma once

#include <cstdint>

namespace brindxml {

struct [[nodiscard]] IoError {
    enum class Kind : uint8_t {
        Os,            // `number` holds the error number
        InvalidInput,  // fixed text, e.g. a NUL byte in a file name
        InvalidData,   // fixed text, e.g. a file that is not UTF-8
        WriteZero,     // fixed text: write() returned 0
    };
    Kind kind = Kind::Os;
    int number = 0;
    const char* message = nullptr;  // fixed text for the non-Os kinds
    uint64_t offset = 0;            // InvalidData: the byte offset of the first byte at fault

    static IoError os(int error_number) noexcept { return {Kind::Os, error_number, nullptr, 0}; }
    static IoError fixed(Kind kind, const char* text) noexcept { return {kind, 0, text, 0}; }
    static IoError invalid_data(const char* text, uint64_t at) noexcept { return {Kind::InvalidData, 0, text, at}; }
};

inline constexpr const char* kNulInFileName = "file name contained an unexpected NUL byte";

}  // namespace brindxml
