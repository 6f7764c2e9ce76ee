// Walks the structural index with an explicit stack of open elements (no
// recursion, so nesting depth is bounded only by memory) and builds the
// ElementRecord tree of the first element named root_tag.
#include "read/tree_builder.hpp"

#include <string>
#include <utility>
#include <vector>

#include "index/structural_index.hpp"
#include "read/attribute_parser.hpp"
#include "read/decode_references.hpp"
#include "read/text_accumulator.hpp"
#include "read/white_space.hpp"
#include "storage/siphash.hpp"

namespace brindxml {

namespace {

struct OpenElement {
    ElementRecord record;
    TextAccumulator text;
};

// A name seen outside the root element: kept only to check nesting.
struct OuterName {
    uint64_t offset;
    uint64_t length;
};

std::string tag_message(std::string_view before, std::string_view name, std::string_view after) {
    std::string message;
    message.reserve(before.size() + name.size() + after.size());
    message.append(before).append(name).append(after);
    return message;
}

std::string mismatch_message(std::string_view open, std::string_view found) {
    std::string message;
    message.reserve(open.size() + found.size() + 20);
    message.append("expected </").append(open).append(">, found </").append(found).append(">");
    return message;
}

class TreeBuilder {
public:
    TreeBuilder(SourceText* source, std::string_view root_tag, const StructuralIndex& index)
        : source_(source),
          doc_(source->data()),
          len_(source->length()),
          root_tag_(root_tag),
          index_(index),
          keys_(take_thread_hash_keys()) {}

    Result<ElementRecord, ReadError> run() {
        const uint64_t tags = index_.tag_count();
        for (uint64_t i = 0; i < tags; ++i) {
            const uint64_t s = index_.tag_start(i);
            const uint64_t e = index_.tag_end(i);
            if (e >= len_) return ReadError::malformed(s, "unterminated markup");
            if (auto error = take_text_before(s)) return std::move(*error);
            switch (index_.tag_kind(i)) {
                case TagKind::Open: {
                    if (open_.empty() && index_.name(i) != root_tag_) {
                        if (index_.name_length(i) == 0) return missing_name(s);
                        outer_.push_back({index_.name_offset(i), index_.name_length(i)});
                        break;
                    }
                    OpenElement element;
                    if (auto error = parse_tag(i, s, e, element.record)) return std::move(*error);
                    open_.push_back(std::move(element));
                    break;
                }
                case TagKind::SelfClosing: {
                    ElementRecord record;
                    if (auto error = parse_tag(i, s, e - 1, record)) return std::move(*error);
                    if (!open_.empty()) {
                        open_.back().record.children.push_back(std::move(record));
                    } else if (record.name == root_tag_) {
                        return record;
                    }
                    break;
                }
                case TagKind::Close: {
                    auto closed = close_element(i, s, e);
                    if (!closed) return std::move(closed).error();
                    if (closed.value()) return std::move(*closed.value());
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
        if (open_.empty()) return ReadError::root_not_found(std::string(root_tag_));
        return ReadError::unclosed_at_end(std::string(open_.back().record.name.bytes()));
    }

private:
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
            const std::string_view raw(doc_ + range.start, range.end - range.start);
            auto decoded = decode_references(raw, range.start, ReferenceMode::Text);
            if (!decoded) return std::move(decoded).error();
            TextAccumulator& text = open_.back().text;
            if (decoded.value().changed)
                text.append_owned(doc_, std::move(decoded.value().decoded));
            else
                text.append_view(doc_, range.start, range.end);
        }
        return std::nullopt;
    }

    // Name and attributes of a start or self-closing tag whose attribute
    // region ends at `region_end` (the `>`, or the `/` of `/>`).
    std::optional<ReadError> parse_tag(uint64_t i, uint64_t s, uint64_t region_end, ElementRecord& record) {
        const uint64_t name_length = index_.name_length(i);
        if (name_length == 0) return missing_name(s);
        const uint64_t name_end = s + 1 + name_length;
        record.name = NodeString::view(source_, s + 1, name_end);
        record.attrs = AttrMap(keys_);
        if (name_end < region_end) return parse_attributes(source_, name_end, region_end, record.attrs, scratch_);
        return std::nullopt;
    }

    // Returns the finished root element when this end tag closes it.
    Result<std::optional<ElementRecord>, ReadError> close_element(uint64_t i, uint64_t s, uint64_t e) {
        const std::string_view name = index_.name(i);
        const uint64_t name_end = index_.name_offset(i) + name.size();
        if (!is_all_white_space(doc_ + name_end, e - name_end))
            return ReadError::malformed(s, tag_message("malformed end tag </", name, ">"));
        if (!open_.empty()) {
            OpenElement& top = open_.back();
            if (top.record.name.bytes() != name)
                return ReadError::malformed(s, mismatch_message(top.record.name.bytes(), name));
            ElementRecord record = std::move(top.record);
            record.text = top.text.finish(source_);
            open_.pop_back();
            if (open_.empty()) return std::optional<ElementRecord>(std::move(record));
            open_.back().record.children.push_back(std::move(record));
            return std::optional<ElementRecord>();
        }
        if (outer_.empty()) return ReadError::malformed(s, tag_message("unexpected end tag </", name, ">"));
        const std::string_view outer(doc_ + outer_.back().offset, outer_.back().length);
        if (outer != name) return ReadError::malformed(s, mismatch_message(outer, name));
        outer_.pop_back();
        return std::optional<ElementRecord>();
    }

    SourceText* source_;
    const char* doc_;
    uint64_t len_;
    std::string_view root_tag_;
    const StructuralIndex& index_;
    HashKeys keys_;  // one pair for every attribute map of the parse
    std::vector<OpenElement> open_;
    std::vector<OuterName> outer_;
    AttributeScratch scratch_;
    uint64_t next_text_ = 0;
};

}  // namespace

Result<ElementRecord, ReadError> build_tree(SourceText* source, std::string_view root_tag) {
    // The parse holds its own reference: views made and dropped along the way
    // never release the text under it.
    source->retain();
    const SourceRef hold(source);
    auto index = build_structural_index(source->bytes());
    if (!index) return ReadError::unclosed_tag(index.error().offset);
    return TreeBuilder(source, root_tag, index.value()).run();
}

}  // namespace brindxml
