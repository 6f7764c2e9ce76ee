// The rules that define the structural index, shared by both scanners. A
// scanner supplies a Finder with four searches, each returning the first
// matching position at or after `from`, or the document length:
//   next_lt(from)             a `<`
//   next_gt(from)             a `>`
//   next_tag_stop(from)       a `>`, `"` or `'`
//   next_quote(from, quote)   the byte `quote` (`"` or `'`)
// and may supply two shortcuts, which must agree with the searches above:
//   name_end(from, stops)     as name_end below, for kEndsStartTagName and kEndsEndTagName
//   next_unquoted_stop(from)  the first `>` or `'` at or after `from` that is not
//                             inside a "..." value (a `"` and the next `"`), or the
//                             document length when a `"` is open at its end
// Everything else (names, comment and CDATA ends, quote skipping) is decided
// here, so the scanners cannot disagree on the index or the error.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/bytes.hpp"
#include "base/result.hpp"
#include "index/structural_index.hpp"

namespace brindxml::scan_rules {

// Which bytes end a name, per kind of construct.
inline constexpr uint8_t kEndsStartTagName = 1;  // TAB LF FF CR SPACE / >
inline constexpr uint8_t kEndsEndTagName = 2;    // TAB LF FF CR SPACE >
inline constexpr uint8_t kEndsTarget = 4;        // TAB LF FF CR SPACE > ?

inline constexpr std::array<uint8_t, 256> kNameStops = [] {
    std::array<uint8_t, 256> table{};
    for (char c : {'\t', '\n', '\f', '\r', ' ', '>'})
        table[bytes::byte_of(c)] = kEndsStartTagName | kEndsEndTagName | kEndsTarget;
    table[static_cast<unsigned char>('/')] = kEndsStartTagName;
    table[static_cast<unsigned char>('?')] = kEndsTarget;
    return table;
}();

inline uint64_t name_end(const char* doc, uint64_t from, uint64_t len, uint8_t stops) noexcept {
    const auto* u = reinterpret_cast<const unsigned char*>(doc);
    while (from < len && !(kNameStops[u[from]] & stops)) ++from;
    return from;
}

// The `>` of the first `-->` whose `-` lies at or after `from`, or len.
template <class Finder>
uint64_t comment_end(const char* doc, uint64_t from, uint64_t len, const Finder& find) noexcept {
    for (uint64_t gt = find.next_gt(from + 2); gt < len; gt = find.next_gt(gt + 1))
        if (doc[gt - 1] == '-' && doc[gt - 2] == '-') return gt;
    return len;
}

// The first `]` of the first `]]>` at or after `from`, or len.
template <class Finder>
uint64_t cdata_close(const char* doc, uint64_t from, uint64_t len, const Finder& find) noexcept {
    for (uint64_t gt = find.next_gt(from + 2); gt < len; gt = find.next_gt(gt + 1))
        if (doc[gt - 1] == ']' && doc[gt - 2] == ']') return gt - 2;
    return len;
}

// Where a search for `]]>` from `from` gave up: one past the last `]`, or
// `from` itself when there is none.
inline uint64_t unterminated_cdata_end(const char* doc, uint64_t from, uint64_t len) noexcept {
    for (uint64_t i = len; i > from; --i)
        if (doc[i - 1] == ']') return i;
    return from;
}

// The `>` of the first `?>` whose `?` lies at or after `target_end`. Without
// one: the last byte, or len when the target itself ran to the end.
template <class Finder>
uint64_t instruction_end(const char* doc, uint64_t target_end, uint64_t len, const Finder& find) noexcept {
    for (uint64_t gt = find.next_gt(target_end + 1); gt < len; gt = find.next_gt(gt + 1))
        if (doc[gt - 1] == '?') return gt;
    return target_end >= len ? len : len - 1;
}

// The `>` that ends a document type declaration whose name starts at `from`,
// or len when the declaration never ends. Quoted literals (before, inside and
// after the internal subset) hide every byte; the internal subset runs from
// `[` to its `]`, and within it comments and processing instructions hide
// theirs too, so markup in entity values or comments is never taken for the
// document's own. Declarations are rare: plain byte searches suffice.
inline uint64_t doctype_end(const char* doc, uint64_t from, uint64_t len) noexcept {
    const std::string_view d(doc, static_cast<size_t>(len));
    bool in_subset = false;
    for (uint64_t at = from;; ++at) {
        // Outside the subset a `<` or `]` means nothing, inside it a `>` or `[`.
        at = in_subset ? bytes::find_any<'"', '\'', ']', '<'>(doc, at, len)
                       : bytes::find_any<'"', '\'', '[', '>'>(doc, at, len);
        if (at >= len) return len;
        const char c = doc[at];
        if (c == '"' || c == '\'') {
            at = bytes::find_byte(doc, at + 1, len, c);
            if (at >= len) return len;
        } else if (c == '>') {
            return at;
        } else if (c == '[' || c == ']') {
            in_subset = c == '[';
        } else if (at + 3 < len && doc[at + 1] == '!' && doc[at + 2] == '-' && doc[at + 3] == '-') {
            const size_t close = d.find("-->", static_cast<size_t>(at + 4));
            if (close == std::string_view::npos) return len;
            at = close + 2;
        } else if (at + 1 < len && doc[at + 1] == '?') {
            const size_t close = d.find("?>", static_cast<size_t>(at + 2));
            if (close == std::string_view::npos) return len;
            at = close + 1;
        }
    }
}

// name_end through the finder's shortcut where it has one.
template <class Finder>
uint64_t find_name_end(const char* doc, uint64_t from, uint64_t len, uint8_t stops, const Finder& find) noexcept {
    if constexpr (requires { find.name_end(from, stops); }) {
        if (stops != kEndsTarget) return find.name_end(from, stops);
    }
    return name_end(doc, from, len, stops);
}

// Indexes the constructs from `position` on into `index` until it is full
// (StructuralIndex::window_full) or the document ends, and sets `position`
// to where the next window starts. True once the whole document is indexed.
template <class Finder>
Result<bool, IndexError> scan_window(std::string_view document, const Finder& find, uint64_t& position,
                                     StructuralIndex& index) {
    const char* doc = document.data();
    const uint64_t len = document.size();
    uint64_t pos = position;  // one past the last construct (or skipped declaration)
    for (;;) {
        if (index.window_full()) {
            position = pos;
            return false;
        }
        const uint64_t lt = find.next_lt(pos);
        if (lt >= len) break;
        if (lt > pos) index.add_text(pos, lt);
        if (lt + 1 == len) return IndexError{lt};
        uint64_t end;
        switch (doc[lt + 1]) {
            case '!':
                if (lt + 4 <= len && doc[lt + 2] == '-' && doc[lt + 3] == '-') {
                    end = comment_end(doc, lt + 4, len, find);
                    index.add_tag(lt, end, TagKind::Comment, 0);
                } else if (lt + 9 <= len && std::memcmp(doc + lt + 2, "[CDATA[", 7) == 0) {
                    const uint64_t close = cdata_close(doc, lt + 9, len, find);
                    if (close < len) {
                        if (close > lt + 9) index.add_text(lt + 9, close);
                        end = close + 2;
                    } else {
                        end = unterminated_cdata_end(doc, lt + 9, len);
                    }
                    index.add_tag(lt, end, TagKind::CData, 0);
                } else if (lt + 9 <= len && std::memcmp(doc + lt + 2, "DOCTYPE", 7) == 0) {
                    // Skipped as a whole, its internal subset included.
                    const uint64_t gt = doctype_end(doc, lt + 9, len);
                    if (gt >= len) return IndexError{lt, IndexError::Reason::UnterminatedDoctype};
                    pos = gt + 1;
                    continue;
                } else {
                    // Another declaration: skipped, together with its `>`. Without
                    // a `>` only the `<` itself is skipped.
                    const uint64_t gt = find.next_gt(lt + 1);
                    pos = gt < len ? gt + 1 : lt + 1;
                    continue;
                }
                break;
            case '/': {
                const uint64_t name_stop = find_name_end(doc, lt + 2, len, kEndsEndTagName, find);
                if (name_stop >= len) return IndexError{lt};
                end = doc[name_stop] == '>' ? name_stop : find.next_gt(name_stop);
                if (end >= len) return IndexError{lt};
                index.add_tag(lt, end, TagKind::Close, name_stop - (lt + 2));
                break;
            }
            case '?': {
                const uint64_t target_stop = name_end(doc, lt + 2, len, kEndsTarget);
                end = instruction_end(doc, target_stop, len, find);
                index.add_tag(lt, end, TagKind::ProcessingInstruction, target_stop - (lt + 2));
                break;
            }
            default: {
                const uint64_t name_stop = find_name_end(doc, lt + 1, len, kEndsStartTagName, find);
                if (name_stop >= len) return IndexError{lt};
                // Quoted values may hold `>`; an unmatched quote skips itself
                // and the byte after it.
                uint64_t cursor = name_stop;
                // Quoted values are skipped many at a time while that finds a
                // stop; a `"` left open at the end of the document is for the
                // plain search to skip (once: the shortcut is not retried).
                bool shortcut = true;
                for (;;) {
                    uint64_t stop = len;
                    if constexpr (requires { find.next_unquoted_stop(cursor); }) {
                        if (cursor < len && doc[cursor] == '>') {
                            stop = cursor;
                        } else if (shortcut) {
                            stop = find.next_unquoted_stop(cursor);
                            shortcut = stop < len;
                        }
                    }
                    if (stop >= len) stop = find.next_tag_stop(cursor);
                    if (stop >= len) return IndexError{lt};
                    if (doc[stop] == '>') {
                        end = stop;
                        break;
                    }
                    const uint64_t closing = find.next_quote(stop + 1, doc[stop]);
                    cursor = closing < len ? closing + 1 : stop + 2;
                }
                // A `/` right before the `>` counts only if it was not skipped
                // as the byte after an unmatched quote.
                const TagKind kind = end > cursor && doc[end - 1] == '/' ? TagKind::SelfClosing : TagKind::Open;
                index.add_tag(lt, end, kind, name_stop - (lt + 1));
                break;
            }
        }
        if (end >= len) break;
        pos = end + 1;
    }
    position = len;
    return true;
}

template <class Finder>
Result<StructuralIndex, IndexError> scan(std::string_view document, const Finder& find) {
    StructuralIndex index(document);
    uint64_t position = 0;
    auto whole = scan_window(document, find, position, index);
    if (!whole) return std::move(whole).error();
    return index;
}

}  // namespace brindxml::scan_rules
