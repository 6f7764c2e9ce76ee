// The structural index of one document: the position, kind and name of every
// markup construct, and the ranges of character data between them. Built in
// one scan before any element is, so the tree builder never searches bytes for
// markup itself.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "base/result.hpp"

namespace brindxml {

enum class TagKind : uint8_t {
    Open = 0,                   // <name ...>
    Close = 1,                  // </name ...>
    SelfClosing = 2,            // <name .../>
    Comment = 3,                // <!-- ... -->
    CData = 4,                  // <![CDATA[ ... ]]>
    ProcessingInstruction = 5,  // <? ... ?>, the XML declaration included
};

// A half-open byte range [start, end) of character data, never empty.
struct TextRange {
    uint64_t start;
    uint64_t end;
    friend bool operator==(const TextRange&, const TextRange&) = default;
};

// How building an index fails: at a `<` whose construct cannot be closed.
struct [[nodiscard]] IndexError {
    enum class Reason : uint8_t {
        UnclosedTag,          // a tag without its `>`
        UnterminatedDoctype,  // a document type declaration without its end
    };
    uint64_t offset = 0;  // of the `<`
    Reason reason = Reason::UnclosedTag;
    // "Unclosed tag at byte {offset}", or "unterminated DOCTYPE declaration at byte {offset}"
    std::string display() const;
    friend bool operator==(const IndexError&, const IndexError&) = default;
};

// Parallel arrays, one entry per construct in document order, plus the text
// ranges. A name's offset follows from the kind (start + 1 for start and
// self-closing tags, start + 2 for end tags and processing instructions, 0 for
// comments and CDATA), so only its length is stored, in 64 bits: no name is
// ever cut.
// Invariant relied on by the tree builder: a text range contains no `<`,
// except the content range of a complete CDATA section.
//
// An index may also be a window over the document: a scan then stops once it
// holds `window_tags` constructs (or twice as many text ranges), and the next
// window starts where it stopped (see IndexWindows). Offsets stay those of
// the whole document; only entry numbers start again at 0.
class StructuralIndex {
public:
    // Most constructs a window may hold: the whole document, however large.
    static constexpr uint64_t kWholeDocument = uint64_t{1} << 56;

    explicit StructuralIndex(std::string_view document, uint64_t window_tags = kWholeDocument);
    StructuralIndex(StructuralIndex&&) noexcept = default;
    StructuralIndex& operator=(StructuralIndex&&) noexcept = default;
    StructuralIndex(const StructuralIndex&) = delete;
    StructuralIndex& operator=(const StructuralIndex&) = delete;

    std::string_view document() const noexcept { return document_; }

    uint64_t tag_count() const noexcept { return tag_count_; }
    uint64_t tag_start(uint64_t i) const noexcept { return starts_[at(i)]; }
    uint64_t tag_end(uint64_t i) const noexcept { return ends_[at(i)]; }
    TagKind tag_kind(uint64_t i) const noexcept { return static_cast<TagKind>(kinds_[at(i)]); }
    uint64_t name_offset(uint64_t i) const noexcept {
        switch (tag_kind(i)) {
            case TagKind::Open:
            case TagKind::SelfClosing:
                return starts_[at(i)] + 1;
            case TagKind::Close:
            case TagKind::ProcessingInstruction:
                return starts_[at(i)] + 2;
            default:
                return 0;
        }
    }
    uint64_t name_length(uint64_t i) const noexcept { return name_lengths_[at(i)]; }
    std::string_view name(uint64_t i) const noexcept {
        return {document_.data() + at(name_offset(i)), static_cast<size_t>(name_lengths_[at(i)])};
    }

    uint64_t text_count() const noexcept { return text_count_; }
    TextRange text(uint64_t i) const noexcept { return texts_[at(i)]; }

    uint64_t tag_capacity() const noexcept { return tag_capacity_; }
    uint64_t text_capacity() const noexcept { return text_capacity_; }

    // Whether a scan must stop before the next construct: one more adds at
    // most one entry and two text ranges, which the columns never need to
    // grow past window_tags and twice that plus one.
    bool window_full() const noexcept { return tag_count_ >= window_tags_ || text_count_ >= 2 * window_tags_; }
    // Empties the index for the next window, keeping its columns.
    void clear() noexcept {
        tag_count_ = 0;
        text_count_ = 0;
    }

    // Used by the scanners, in document order. The name starts where
    // name_offset() says.
    void add_tag(uint64_t start, uint64_t end, TagKind kind, uint64_t name_length) {
        if (tag_count_ == tag_capacity_) grow_tags(start);
        const size_t i = at(tag_count_++);
        starts_[i] = start;
        ends_[i] = end;
        kinds_[i] = static_cast<uint8_t>(kind);
        name_lengths_[i] = name_length;
    }
    void add_text(uint64_t start, uint64_t end) {
        if (text_count_ == text_capacity_) grow_texts(start);
        texts_[at(text_count_++)] = TextRange{start, end};
    }

    // Same entries and text ranges (the document itself is not compared).
    friend bool operator==(const StructuralIndex& a, const StructuralIndex& b) noexcept;

private:
    // Arrays of plain values in malloc'd memory, so growing can use realloc
    // (which moves large blocks by remapping pages rather than copying).
    struct FreeDeleter {
        void operator()(void* p) const noexcept { std::free(p); }
    };
    template <class T>
    using Column = std::unique_ptr<T[], FreeDeleter>;
    // An entry index or a document offset: both lie within memory this
    // process holds (the columns' allocation checks the byte count), so they
    // fit size_t.
    static size_t at(uint64_t i) noexcept { return static_cast<size_t>(i); }

    // `position` is where the scan is: growth is sized from the density so far.
    void grow_tags(uint64_t position);
    void grow_texts(uint64_t position);

    std::string_view document_;
    uint64_t window_tags_;
    uint64_t tag_count_ = 0;
    uint64_t tag_capacity_ = 0;
    Column<uint64_t> starts_;
    Column<uint64_t> ends_;
    Column<uint8_t> kinds_;
    Column<uint64_t> name_lengths_;
    uint64_t text_count_ = 0;
    uint64_t text_capacity_ = 0;
    Column<TextRange> texts_;
};

// Builds the index of the whole document, or fails at the first `<` whose
// construct cannot be closed.
Result<StructuralIndex, IndexError> build_structural_index(std::string_view document);

}  // namespace brindxml
