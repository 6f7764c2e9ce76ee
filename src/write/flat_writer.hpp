// The serializer: walks a FlatSnapshot and emits indented XML through an
// emitter, either a byte sink (UTF-8: the file of write_file, a memory
// buffer) or the character buffer of a str being made (write_string).
#pragma once

#include <array>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/compiler.hpp"
#include "write/escape.hpp"
#include "write/flat_snapshot.hpp"
#include "write/sink.hpp"
#include "write/xml_output.hpp"

namespace brindxml {

namespace flat_detail {

// A line break followed by enough spaces for the usual indentation, so that
// a line start is a single piece.
inline constexpr size_t kShortIndent = 128;
inline constexpr std::array<char, kShortIndent + 1> kLineBreakAndSpaces = [] {
    std::array<char, kShortIndent + 1> run{};
    run[0] = '\n';
    for (size_t i = 1; i < run.size(); ++i) run[i] = ' ';
    return run;
}();

}  // namespace flat_detail

// UTF-8 into a ByteSink, piece by piece: "<" and the name are two pieces, a
// line break and its indentation one (up to 128 spaces), and so on.
template <ByteSink Sink>
class ByteEmitter {
public:
    using Status = WriteStatus;
    explicit ByteEmitter(Sink& sink) noexcept : sink_(sink) {}

    WriteStatus literal(std::string_view piece) { return sink_.append(piece); }
    WriteStatus plain(std::string_view text) { return sink_.append(text); }
    template <EscapeMode mode>
    WriteStatus escaped(std::string_view text) {
        return write_escaped<mode>(sink_, text);
    }
    // indent_width x depth spaces that do not fit in 64 bits are more than
    // any memory or file could hold: std::bad_alloc, as for memory.
    WriteStatus line_break(uint64_t indent_width, uint64_t depth) {
        uint64_t spaces = 0;
        if (!platform::checked_multiply(indent_width, depth, spaces)) throw std::bad_alloc();
        if (spaces <= flat_detail::kShortIndent) {
            size_t length = static_cast<size_t>(spaces) + 1;
            // Knowing the length is at most 129, GCC copies with `rep movsq`,
            // whose start-up cost is several times a short memcpy: hide the bound.
            platform::hide_value(length);
            return sink_.append(std::string_view(flat_detail::kLineBreakAndSpaces.data(), length));
        }
        if (WriteStatus error = sink_.append("\n")) return error;
        return sink_.append_spaces(spaces);
    }

private:
    Sink& sink_;
};

// Writes the elements of `snapshot` (not the declaration) with the layout
// rule: a line break and indent_width x depth spaces before every tag, except
// the root's start tag and the first tag after an element's text. Stops at the
// emitter's first error.
inline constexpr ptrdiff_t kPrefetchDistance = 8;

template <class Emitter>
typename Emitter::Status write_flat(const FlatSnapshot& snapshot, uint64_t indent_width, Emitter& out) {
    using Status = typename Emitter::Status;
    struct Open {
        const FlatElement* element;
        uint64_t children_left;
    };
    std::vector<Open> open;
    uint64_t depth = 0;
    bool line_break_pending = false;

    auto end_tag = [&](const FlatElement& element) -> Status {
        --depth;
        if (line_break_pending) {
            if (Status error = out.line_break(indent_width, depth)) return error;
        }
        line_break_pending = true;
        if (Status error = out.literal("</")) return error;
        if (Status error = out.plain(element.name_bytes())) return error;
        return out.literal(">");
    };

    const FlatElement* const last = snapshot.elements().end();
    for (const FlatElement* at = snapshot.elements().begin(); at != last; ++at) {
        const FlatElement& element = *at;
        // The strings of an element a few places ahead are asked for now, so
        // that they are in cache when their turn comes (a prefetch of an
        // address that is null or past the arrays is harmless).
        if (last - at > kPrefetchDistance) {
            const FlatElement& ahead = at[kPrefetchDistance];
            platform::prefetch(ahead.name);
            platform::prefetch(ahead.text);
            // The whole attribute table (up to 16 lines), control bytes last.
            const char* table = reinterpret_cast<const char*>(ahead.attr_entries);
            const size_t table_bytes = size_t{ahead.attr_capacity} * (sizeof(AttrMap::Entry) + 1);
            for (size_t offset = 0; offset < table_bytes && offset < 1024; offset += 64)
                platform::prefetch(table + offset);
        }
        if (line_break_pending) {
            if (Status error = out.line_break(indent_width, depth)) return error;
        }
        line_break_pending = true;
        if (Status error = out.literal("<")) return error;
        if (Status error = out.plain(element.name_bytes())) return error;
        for (uint32_t i = 0; i < element.attr_capacity; ++i) {
            if (!element.attr_control[i]) continue;
            const AttrMap::Entry& attribute = element.attr_entries[i];
            if (Status error = out.literal(" ")) return error;
            if (Status error = out.plain(attribute.key.bytes())) return error;
            if (Status error = out.literal("=\"")) return error;
            if (Status error = out.template escaped<EscapeMode::Attribute>(attribute.value.bytes())) return error;
            if (Status error = out.literal("\"")) return error;
        }
        if (!element.has_text && element.child_count == 0) {
            if (Status error = out.literal("/>")) return error;
        } else {
            if (Status error = out.literal(">")) return error;
            ++depth;
            if (element.has_text) {
                if (Status error = out.template escaped<EscapeMode::Text>(element.text_bytes())) return error;
                line_break_pending = false;
            }
            if (element.child_count) {
                open.push_back({&element, element.child_count});
                continue;
            }
            if (Status error = end_tag(element)) return error;
        }
        // The element is complete: close every parent whose last child it was.
        while (!open.empty() && --open.back().children_left == 0) {
            const FlatElement& parent = *open.back().element;
            open.pop_back();
            if (Status error = end_tag(parent)) return error;
        }
    }
    return {};
}

// Writes the whole document into the character buffer of a str: `characters`
// code units of `char_size` bytes (1, 2 or 4); with char_size 1, `ascii` tells
// whether the text is ASCII (written as it is) or Latin-1 (decoded from
// UTF-8). Returns false, having written no byte outside the buffer, if the
// document does not fill it exactly (an internal invariant).
bool write_flat_chars(const FlatSnapshot& snapshot, uint64_t indent_width, bool declaration, void* buffer,
                      unsigned char_size, bool ascii, uint64_t characters);

}  // namespace brindxml
