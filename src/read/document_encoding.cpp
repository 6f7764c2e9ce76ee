#include "read/document_encoding.hpp"

#include <cstring>

namespace brindxml {

namespace {

constexpr size_t kDeclarationLimit = 1024;

bool starts_with(std::string_view bytes, const char* prefix, size_t length) noexcept {
    return bytes.size() >= length && std::memcmp(bytes.data(), prefix, length) == 0;
}

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_name_byte(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// The value of the `encoding` pseudo-attribute of an XML declaration at the
// start of `bytes`, or an empty view. Pseudo-attributes are read as
// `name = "value"` (or single quotes) up to `?>`; anything else ends the search.
std::string_view declared_encoding(std::string_view bytes) noexcept {
    if (!starts_with(bytes, "<?xml", 5) || bytes.size() < 6 || !is_space(bytes[5])) return {};
    const std::string_view head = bytes.substr(0, kDeclarationLimit);
    size_t i = 5;
    for (;;) {
        while (i < head.size() && is_space(head[i])) ++i;
        const size_t name_start = i;
        while (i < head.size() && is_name_byte(head[i])) ++i;
        if (i == name_start) return {};
        const std::string_view name = head.substr(name_start, i - name_start);
        while (i < head.size() && is_space(head[i])) ++i;
        if (i >= head.size() || head[i] != '=') return {};
        ++i;
        while (i < head.size() && is_space(head[i])) ++i;
        if (i >= head.size() || (head[i] != '"' && head[i] != '\'')) return {};
        const char quote = head[i++];
        const size_t value_start = i;
        while (i < head.size() && head[i] != quote && head[i] != '<' && head[i] != '>') ++i;
        if (i >= head.size() || head[i] != quote) return {};
        if (name == "encoding") return head.substr(value_start, i - value_start);
        ++i;
    }
}

}  // namespace

DocumentEncoding detect_document_encoding(std::string_view bytes) noexcept {
    using Source = DocumentEncoding::Source;
    // Marks first; the 32-bit little-endian mark begins with the 16-bit one.
    if (starts_with(bytes, "\xEF\xBB\xBF", 3)) return {Source::Utf8Mark, {}};
    if (starts_with(bytes, "\x00\x00\xFE\xFF", 4) || starts_with(bytes, "\xFF\xFE\x00\x00", 4))
        return {Source::Mark, "utf-32"};
    if (starts_with(bytes, "\xFE\xFF", 2) || starts_with(bytes, "\xFF\xFE", 2)) return {Source::Mark, "utf-16"};
    // `<?` (or `<` alone for 32 bits) without a mark.
    if (starts_with(bytes, "\x00\x00\x00\x3C", 4)) return {Source::FirstBytes, "utf-32-be"};
    if (starts_with(bytes, "\x3C\x00\x00\x00", 4)) return {Source::FirstBytes, "utf-32-le"};
    if (starts_with(bytes, "\x00\x3C\x00\x3F", 4)) return {Source::FirstBytes, "utf-16-be"};
    if (starts_with(bytes, "\x3C\x00\x3F\x00", 4)) return {Source::FirstBytes, "utf-16-le"};
    const std::string_view name = declared_encoding(bytes);
    if (name.empty() || equals_ignoring_case(name, "utf-8") || equals_ignoring_case(name, "utf8")) return {};
    return {Source::Declaration, name};
}

}  // namespace brindxml
