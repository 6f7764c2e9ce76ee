#include "write/flat_snapshot.hpp"

#include <vector>

#include "write/xml_output.hpp"

namespace brindxml {

void FlatSnapshot::start(uint64_t indent_width, bool declaration, Measure measure) noexcept {
    elements_.clear();
    measure_ = measure;
    indent_width_ = indent_width;
    declaration_ = declaration;
    bytes_ = 0;
    escapable_ = 0;
    stats_ = TextStats{};
    too_large_ = false;
    unwritable_.reset();
    for (std::string_view& key : writable_keys_) key = {};
}

void FlatSnapshot::add_element(std::string_view name, const std::string_view* text, uint64_t child_count,
                               const AttrMap& attrs, uint64_t depth, bool follows_text) {
    const AttrMap::RawTable table = attrs.raw_table();
    FlatElement& element = elements_.push();
    element.name = name.data();
    element.name_size = name.size();
    element.has_text = text != nullptr;
    element.text = text ? text->data() : nullptr;
    element.text_size = text ? text->size() : 0;
    element.child_count = child_count;
    element.attr_entries = table.entries;
    element.attr_control = table.control;
    element.attr_capacity = table.capacity;
    if (measure_ == Measure::None) return;

    // Summed in locals (in registers), each sum checked.
    const bool exact = measure_ == Measure::Exact;
    uint64_t bytes = bytes_;
    uint64_t escapable = 0;
    bool over = false;
    const auto add = [&](uint64_t count) { over |= !platform::checked_add(bytes, count, bytes); };
    bool writable = name_is_writable(name);
    const bool open = text || child_count;
    uint64_t spaces = 0;
    over |= !platform::checked_multiply(indent_width_, depth, spaces);
    // A line break before the start tag, and before the end tag when there
    // are children: "\n" and the indentation.
    const auto line_break = [&] {
        add(spaces);
        add(1);
    };
    if (depth > 0 && !follows_text) line_break();
    if (child_count) line_break();
    // "<" name ... and, when open, ">" ... "</" name ">", else "/>".
    add(open ? 5 : 3);
    add(name.size());
    if (open) add(name.size());
    if (exact) {
        TextStats name_stats;
        add_plain_stats(name, name_stats);
        stats_.continuation += open ? 2 * name_stats.continuation : name_stats.continuation;
        stats_.max_byte = name_stats.max_byte > stats_.max_byte ? name_stats.max_byte : stats_.max_byte;
    }
    for (uint32_t i = 0; i < table.capacity; ++i) {
        if (!table.control[i]) continue;
        const std::string_view key = table.entries[i].key.bytes();
        const std::string_view value = table.entries[i].value.bytes();
        if (i >= kRememberedSlots) {
            writable &= name_is_writable(key);
        } else if (key != writable_keys_[i] || key.empty()) {
            const bool ok = name_is_writable(key);
            writable &= ok;
            if (ok) writable_keys_[i] = key;
        }
        add(4);  // ' ' key '="' value '"'
        add(key.size());
        add(value.size());
        if (exact) {
            add_plain_stats(key, stats_);
            add_escaped_stats<EscapeMode::Attribute>(value, stats_);
        } else {
            over |= !platform::checked_add(escapable, value.size(), escapable);
        }
    }
    if (text) {
        add(text->size());
        if (exact) add_escaped_stats<EscapeMode::Text>(*text, stats_);
        else over |= !platform::checked_add(escapable, text->size(), escapable);
    }
    bytes_ = bytes;
    over |= !platform::checked_add(escapable_, escapable, escapable_);
    too_large_ |= over;
    if (!writable && !unwritable_) note_unwritable(name, table);
}

void FlatSnapshot::note_unwritable(std::string_view name, const AttrMap::RawTable& table) {
    const size_t element = elements_.size() - 1;
    if (!name_is_writable(name)) {
        unwritable_ = UnwritableName{element, UnwritableName::Place::ElementName, name};
        return;
    }
    for (uint32_t i = 0; i < table.capacity; ++i) {
        if (!table.control[i]) continue;
        const std::string_view key = table.entries[i].key.bytes();
        if (!name_is_writable(key)) {
            unwritable_ = UnwritableName{element, UnwritableName::Place::AttributeKey, key};
            return;
        }
    }
}

uint64_t FlatSnapshot::declaration_bytes() const noexcept { return declaration_ ? XML_DECLARATION.size() : 0; }

OutputSize FlatSnapshot::output_size() const noexcept {
    OutputSize size;
    size.too_large = too_large_;
    size.too_large |= !platform::checked_add(bytes_, stats_.extra, size.bytes);
    size.too_large |= !platform::checked_add(size.bytes, declaration_bytes(), size.bytes);
    size.characters = size.bytes - stats_.continuation;
    const unsigned top = stats_.max_byte;
    size.max_char = top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
    return size;
}

bool FlatSnapshot::fits_in(uint64_t limit) const noexcept {
    if (too_large_) return false;
    uint64_t bytes = 0;
    if (!platform::checked_add(bytes_, declaration_bytes(), bytes) || bytes > limit) return false;
    if (measure_ == Measure::Exact) return output_size().bytes <= limit;
    // Escaping makes one byte at most six ("&quot;").
    uint64_t bound = 0;
    if (platform::checked_multiply(escapable_, 5, bound) && platform::checked_add(bytes, bound, bound) &&
        bound <= limit)
        return true;
    // Near the limit: the bytes escaping adds, counted.
    TextStats stats;
    for (const FlatElement& element : elements_) {
        for (uint32_t i = 0; i < element.attr_capacity; ++i)
            if (element.attr_control[i])
                add_escaped_stats<EscapeMode::Attribute>(element.attr_entries[i].value.bytes(), stats);
        if (element.has_text) add_escaped_stats<EscapeMode::Text>(element.text_bytes(), stats);
    }
    return platform::checked_add(bytes, stats.extra, bytes) && bytes <= limit;
}

std::string FlatSnapshot::element_path(size_t index, bool own_name) const {
    // The elements from the root down to `index`: the open elements when the
    // walk in document order reaches it.
    struct Open {
        size_t element;
        uint64_t children_left;
    };
    std::vector<Open> open;
    for (size_t i = 0; i < index && i < elements_.size(); ++i) {
        if (elements_[i].child_count) {
            open.push_back({i, elements_[i].child_count});
            continue;
        }
        while (!open.empty() && --open.back().children_left == 0) open.pop_back();
    }
    std::vector<size_t> chain;
    for (const Open& o : open) chain.push_back(o.element);
    chain.push_back(index);

    // Each step's place among its siblings: a second walk, counting the
    // children of the chain's elements.
    struct Place {
        uint64_t same_name_before = 0, same_name = 0, before = 0;
    };
    std::vector<Place> places(chain.size());
    open.clear();
    for (size_t i = 0; i < elements_.size(); ++i) {
        if (!open.empty()) {
            // A child of the chain's element at this depth: a sibling of the next step.
            const size_t depth = open.size();
            if (depth < chain.size() && open.back().element == chain[depth - 1]) {
                Place& place = places[depth];
                const FlatElement& sibling = elements_[i];
                const FlatElement& target = elements_[chain[depth]];
                if (i < chain[depth]) ++place.before;
                if (sibling.name_bytes() == target.name_bytes()) {
                    ++place.same_name;
                    if (i < chain[depth]) ++place.same_name_before;
                }
            }
        }
        if (elements_[i].child_count) {
            open.push_back({i, elements_[i].child_count});
            continue;
        }
        while (!open.empty() && --open.back().children_left == 0) open.pop_back();
    }

    std::string path;
    for (size_t k = 0; k < chain.size(); ++k) {
        path += '/';
        const Place& place = places[k];
        if (k + 1 == chain.size() && !own_name) {
            path += '*';
            if (k > 0) path.append("[").append(std::to_string(place.before + 1)).append("]");
            continue;
        }
        path += elements_[chain[k]].name_bytes();
        if (place.same_name > 1) path.append("[").append(std::to_string(place.same_name_before + 1)).append("]");
    }
    return path;
}

void flatten_record(const ElementRecord& root, FlatSnapshot& snapshot) {
    struct Frame {
        const ElementRecord* record;
        size_t next_child;
    };
    auto add = [&](const ElementRecord& record, uint64_t depth, bool follows_text) {
        std::string_view text;
        if (record.text) text = record.text->bytes();
        snapshot.add_element(record.name.bytes(), record.text ? &text : nullptr, record.children.size(), record.attrs,
                             depth, follows_text);
    };
    std::vector<Frame> stack;
    add(root, 0, false);
    stack.push_back({&root, 0});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next_child == top.record->children.size()) {
            stack.pop_back();
            continue;
        }
        const bool first_after_text = top.next_child == 0 && top.record->text.has_value();
        const ElementRecord& child = top.record->children[top.next_child++];
        add(child, stack.size(), first_after_text);
        if (!child.children.empty()) stack.push_back({&child, 0});
    }
}

}  // namespace brindxml
