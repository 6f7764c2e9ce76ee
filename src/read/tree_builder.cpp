// Walks the structural index, a window at a time, with an explicit stack of
// open elements (no recursion, so nesting depth is bounded only by memory)
// and builds the RecordTree of the first element named root_tag.
//
// Records are appended in document order to one array, sized when the root
// opens from a count of the root's own elements (exact when the window holds
// the root's end, else projected from the window), and an open element's
// frame holds its record's position there.
#include "read/tree_builder.hpp"

#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/join.hpp"
#include "base/siphash.hpp"
#include "index/index_windows.hpp"
#include "platform/compiler.hpp"
#include "read/attribute_parser.hpp"
#include "read/decode_references.hpp"
#include "read/text_accumulator.hpp"
#include "read/view_maker.hpp"
#include "read/white_space.hpp"

namespace brindxml {

namespace {

struct OpenElement {
    explicit OpenElement(size_t position) noexcept : record(position) {}
    size_t record;  // position in the tree
    TextAccumulator text;
};

// A name seen outside the root element: kept only to check nesting.
struct OuterName {
    uint64_t offset;
    uint64_t length;
};

// The elements of the tree whose start tag is entry `first` of the window,
// pairing start and end tags by nesting alone: exact when the tree is well
// formed and its end tag is in the window (`complete`), and never more than
// the start and self-closing tags that follow.
struct ElementCount {
    size_t count;
    bool complete;
};
ElementCount count_elements(const StructuralIndex& index, uint64_t first) {
    size_t count = 0;
    uint64_t depth = 0;
    for (uint64_t i = first; i < index.tag_count(); ++i) {
        switch (index.tag_kind(i)) {
            case TagKind::Open:
                ++count;
                ++depth;
                break;
            case TagKind::SelfClosing:
                ++count;
                break;
            case TagKind::Close:
                if (--depth == 0) return {count, true};
                break;
            default:
                break;
        }
    }
    return {count, false};
}

// The elements a root may have in all that holds `count` in its first
// `covered` bytes, `rest` bytes before the end of the document, if the rest is
// as dense, with an eighth more; never more than the rest could hold (an
// element takes four bytes at least, `<a/>`).
size_t projected_elements(size_t count, uint64_t covered, uint64_t rest) {
    const double projected = 1.125 * static_cast<double>(count) * static_cast<double>(rest) /
                                 static_cast<double>(covered > 0 ? covered : 1) +
                             16.0;
    const uint64_t most = rest / 4 + 1;
    return static_cast<size_t>(projected >= static_cast<double>(most) ? most : static_cast<uint64_t>(projected));
}

ReadError index_error(const IndexError& error) {
    if (error.reason == IndexError::Reason::UnterminatedDoctype)
        return ReadError::malformed(error.offset, "unterminated DOCTYPE declaration");
    return ReadError::unclosed_tag(error.offset);
}

class TreeBuilder {
public:
    TreeBuilder(SourceText* source, std::string_view root_tag, uint64_t window_tags)
        : views_(source),
          doc_(source->data()),
          len_(source->length()),
          root_tag_(root_tag),
          windows_(source->bytes(), window_tags),
          index_(windows_.window()),
          keys_(take_thread_hash_keys()) {
        scratch_.decoded = &decoded_;
        scratch_.tables = &tables_;
    }

    Result<RecordTree, ReadError> run() {
        auto built = build();
        // A construct left open anywhere in the document is its error, also
        // after the root element or after an error in the tree.
        if (auto error = windows_.scan_rest()) return index_error(*error);
        return built;
    }

private:
    Result<RecordTree, ReadError> build() {
        for (;;) {
            auto more = windows_.next();
            if (!more) return index_error(more.error());
            if (!more.value()) break;
            if (auto error = build_window()) return std::move(*error);
            if (root_done_) return std::move(tree_);
        }
        if (open_.empty()) return ReadError::root_not_found(std::string(root_tag_));
        return ReadError::unclosed_at_end(std::string(tree_[open_.back().record].name.bytes()));
    }

    // Builds from the window's entries; stops early, with root_done_ set,
    // once the root element is complete.
    std::optional<ReadError> build_window() {
        next_text_ = 0;
        const uint64_t tags = index_.tag_count();
        for (uint64_t i = 0; i < tags; ++i) {
            const uint64_t s = index_.tag_start(i);
            const uint64_t e = index_.tag_end(i);
            if (e >= len_) return ReadError::malformed(s, "unterminated markup");
            if (held_error_) [[unlikely]]
                return std::move(*held_error_);
            if (auto error = take_text_before(s)) return std::move(*error);
            switch (index_.tag_kind(i)) {
                case TagKind::Open: {
                    if (!open_.empty()) {
                        ++tree_[open_.back().record].child_count;
                    } else if (index_.name(i) == root_tag_) {
                        reserve_for_root(i, s);
                    } else {
                        if (index_.name_length(i) == 0) return missing_name(s);
                        outer_.push_back({index_.name_offset(i), index_.name_length(i)});
                        break;
                    }
                    const size_t record = tree_.size();
                    if (auto error = parse_tag(i, s, e, tree_.add())) return std::move(*error);
                    open_.emplace_back(record);
                    break;
                }
                case TagKind::SelfClosing: {
                    if (!open_.empty()) {
                        ++tree_[open_.back().record].child_count;
                        if (auto error = parse_tag(i, s, e - 1, tree_.add())) return std::move(*error);
                        break;
                    }
                    // Outside the root element, so the tree is still empty.
                    if (auto error = parse_tag(i, s, e - 1, tree_.add())) return std::move(*error);
                    if (tree_[0].name == root_tag_) {
                        root_done_ = true;
                        return std::nullopt;
                    }
                    tree_.remove_last();
                    break;
                }
                case TagKind::Close: {
                    if (auto error = close_element(i, s, e)) return std::move(*error);
                    if (root_done_) return std::nullopt;
                    break;
                }
                case TagKind::Comment:
                    if (!(e >= s + 6 && doc_[e - 2] == '-' && doc_[e - 1] == '-' && doc_[e] == '>'))
                        return ReadError::malformed(s, "unterminated comment");
                    break;
                case TagKind::CData:
                    if (!(e > 1 && doc_[e - 2] == ']' && doc_[e - 1] == ']' && doc_[e] == '>'))
                        return ReadError::malformed(s, "unterminated CDATA section");
                    if (!open_.empty()) open_.back().text.append_view(doc_, s + 9, e - 2);
                    // The content was also indexed as a text range: it is raw, skip it.
                    while (next_text_ < index_.text_count() && index_.text(next_text_).start < e) ++next_text_;
                    break;
                case TagKind::ProcessingInstruction:
                    if (!(e > 0 && doc_[e - 1] == '?' && doc_[e] == '>'))
                        return ReadError::malformed(s, "unterminated processing instruction");
                    break;
            }
        }
        if (next_text_ < index_.text_count()) [[unlikely]]
            take_text_left();
        return std::nullopt;
    }

    // A window that ended after a declaration leaves text ranges that the
    // next window's first construct would take. They are taken now; an
    // error in them is held until that construct has passed its own check,
    // and is never reported if no construct follows.
    BRINDXML_NOINLINE void take_text_left() {
        if (open_.empty() || held_error_) return;
        for (; next_text_ < index_.text_count(); ++next_text_) {
            if (auto error = take_text(index_.text(next_text_))) {
                held_error_ = std::move(error);
                return;
            }
        }
    }

    // Sizes the tree and its attribute tables for the root element, entry
    // `i` of the window, starting at offset `s`.
    void reserve_for_root(uint64_t i, uint64_t s) {
        const ElementCount elements = count_elements(index_, i);
        if (elements.complete) {
            tree_.reserve(elements.count);
            tables_.expect_at_most(elements.count);
            return;
        }
        const uint64_t covered = index_.tag_end(index_.tag_count() - 1) - s;
        try {
            tree_.reserve(projected_elements(elements.count, covered, len_ - s));
        } catch (const std::exception&) {
            // A projection from a dense start may ask for more address space
            // than a limit allows (std::bad_alloc), or on a 32-bit target for
            // more records than an array can hold (std::length_error): the
            // array then grows as it fills.
            tree_.reserve(elements.count);
        }
    }

    static ReadError missing_name(uint64_t s) { return ReadError::malformed(s, "expected element name after '<'"); }

    // Decodes the text ranges before offset `s` into the innermost open
    // element; outside the root element they are skipped unread. (The index
    // guarantees these ranges hold no `<`.)
    std::optional<ReadError> take_text_before(uint64_t s) {
        const uint64_t count = index_.text_count();
        if (open_.empty()) {
            while (next_text_ < count && index_.text(next_text_).start < s) ++next_text_;
            return std::nullopt;
        }
        while (next_text_ < count) {
            const TextRange range = index_.text(next_text_);
            if (range.start >= s) break;
            ++next_text_;
            if (auto error = take_text(range)) return error;
        }
        return std::nullopt;
    }

    BRINDXML_ALWAYS_INLINE std::optional<ReadError> take_text(TextRange range) {
        TextAccumulator& text = open_.back().text;
        // White space before any other text is dropped however it decodes
        // (a reference is never white space in the raw bytes).
        if (text.empty() && is_all_xml_space(doc_ + range.start, range.end - range.start)) return std::nullopt;
        const std::string_view raw(doc_ + range.start, static_cast<size_t>(range.end - range.start));
        auto decoded = decode_references(raw, range.start, ReferenceMode::Text, &decoded_);
        if (!decoded) return std::move(decoded).error();
        if (decoded.value().changed)
            text.append_owned(doc_, std::move(decoded.value().decoded));
        else
            text.append_view(doc_, range.start, range.end);
        return std::nullopt;
    }

    // Name and attributes of a start or self-closing tag whose attribute
    // region ends at `region_end` (the `>`, or the `/` of `/>`).
    std::optional<ReadError> parse_tag(uint64_t i, uint64_t s, uint64_t region_end, FlatRecord& record) {
        const uint64_t name_length = index_.name_length(i);
        if (name_length == 0) return missing_name(s);
        const uint64_t name_end = s + 1 + name_length;
        record.name = views_.view(s + 1, name_end);
        record.attrs = AttrMap(keys_);
        tables_.next_owner();
        if (name_end < region_end) return parse_attributes(views_, name_end, region_end, record.attrs, scratch_);
        return std::nullopt;
    }

    // Sets root_done_ when this end tag closes the root element.
    std::optional<ReadError> close_element(uint64_t i, uint64_t s, uint64_t e) {
        const std::string_view name = index_.name(i);
        const uint64_t name_end = index_.name_offset(i) + name.size();
        if (name_end < e && !is_all_white_space(doc_ + name_end, e - name_end))
            return ReadError::malformed(s, joined({"malformed end tag </", name, ">"}));
        if (!open_.empty()) {
            OpenElement& top = open_.back();
            FlatRecord& record = tree_[top.record];
            const std::string_view open_name = record.name.bytes();
            if (open_name.size() != name.size() || std::memcmp(open_name.data(), name.data(), name.size()) != 0)
                return ReadError::malformed(s, joined({"expected </", open_name, ">, found </", name, ">"}));
            record.text = top.text.finish(views_);
            open_.pop_back();
            root_done_ = open_.empty();
            return std::nullopt;
        }
        if (outer_.empty()) return ReadError::malformed(s, joined({"unexpected end tag </", name, ">"}));
        const std::string_view outer(doc_ + outer_.back().offset, static_cast<size_t>(outer_.back().length));
        if (outer != name) return ReadError::malformed(s, joined({"expected </", outer, ">, found </", name, ">"}));
        outer_.pop_back();
        return std::nullopt;
    }

    ViewMaker views_;
    const char* doc_;
    uint64_t len_;
    std::string_view root_tag_;
    IndexWindows windows_;
    const StructuralIndex& index_;  // the current window
    HashKeys keys_;  // one pair for every attribute map of the parse
    RecordTree tree_;
    bool root_done_ = false;
    std::vector<OpenElement> open_;
    std::vector<OuterName> outer_;
    // Decoded texts and values up to 4 KiB, packed instead of one buffer each.
    StringBlocks decoded_{4096};
    // Attribute tables, packed instead of one allocation each.
    TableBlocks tables_;
    AttributeScratch scratch_;
    uint64_t next_text_ = 0;  // in the window
    std::optional<ReadError> held_error_;  // see take_text_left
};

}  // namespace

Result<RecordTree, ReadError> build_tree(SourceText* source, std::string_view root_tag, uint64_t window_tags) {
    // The parse holds its own reference: views made and dropped along the way
    // never release the text under it.
    source->retain();
    const SourceRef hold(source);
    return TreeBuilder(source, root_tag, window_tags).run();
}

}  // namespace brindxml
