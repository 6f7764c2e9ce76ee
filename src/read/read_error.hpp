// The reader's error: five cases, each with its display form.
#pragma once

#include <cstdint>
#include <string>

namespace brindxml {

struct [[nodiscard]] ReadError {
    enum class Case : uint8_t {
        Index,          // "malformed XML: Unclosed tag at byte {offset}"
        Malformed,      // "malformed XML at byte {offset}: {message}"
        RootNotFound,   // "root tag <{name}> not found in document"
        UnclosedAtEnd,  // "unexpected end of document: <{name}> is never closed"
        UnknownEntity,  // "unknown entity reference '&{name};' at byte {offset}"
    };
    Case kind = Case::Malformed;
    uint64_t offset = 0;
    std::string text;  // the message (Malformed) or the name (RootNotFound, UnclosedAtEnd, UnknownEntity)

    static ReadError unclosed_tag(uint64_t offset) { return {Case::Index, offset, {}}; }
    static ReadError malformed(uint64_t offset, std::string message) { return {Case::Malformed, offset, std::move(message)}; }
    static ReadError root_not_found(std::string name) { return {Case::RootNotFound, 0, std::move(name)}; }
    static ReadError unclosed_at_end(std::string name) { return {Case::UnclosedAtEnd, 0, std::move(name)}; }
    static ReadError unknown_entity(uint64_t offset, std::string name) { return {Case::UnknownEntity, offset, std::move(name)}; }

    // The exception message, exactly as raised to Python.
    std::string display() const;
};

}  // namespace brindxml
