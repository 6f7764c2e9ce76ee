#include "write/flat_snapshot.hpp"

#include <vector>

#include "write/xml_output.hpp"

namespace brindxml {

void FlatSnapshot::start(uint64_t indent_width, bool declaration, bool measure) noexcept {
    elements_.clear();
    measure_ = measure;
    indent_width_ = indent_width;
    declaration_ = declaration;
    bytes_ = 0;
    stats_ = TextStats{};
    too_large_ = false;
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
    if (!measure_) return;

    const bool open = text || child_count;
    if (depth > 0 && !follows_text) add_line_break(depth);
    // "<" name ... and, when open, ">" ... "</" name ">", else "/>".
    add_bytes(open ? 5 : 3);
    add_bytes(name.size());
    if (open) add_bytes(name.size());
    TextStats name_stats;
    add_plain_stats(name, name_stats);
    stats_.continuation += open ? 2 * name_stats.continuation : name_stats.continuation;
    stats_.max_byte = name_stats.max_byte > stats_.max_byte ? name_stats.max_byte : stats_.max_byte;
    for (uint32_t i = 0; i < table.capacity; ++i) {
        if (!table.control[i]) continue;
        const std::string_view key = table.entries[i].key.bytes();
        const std::string_view value = table.entries[i].value.bytes();
        add_bytes(4);  // ' ' key '="' value '"'
        add_bytes(key.size());
        add_bytes(value.size());
        add_plain_stats(key, stats_);
        add_escaped_stats<EscapeMode::Attribute>(value, stats_);
    }
    if (text) {
        add_bytes(text->size());
        add_escaped_stats<EscapeMode::Text>(*text, stats_);
    }
    if (child_count) add_line_break(depth);
}

OutputSize FlatSnapshot::output_size() const noexcept {
    OutputSize size;
    size.too_large = too_large_;
    size.too_large |= !platform::checked_add(bytes_, stats_.extra, size.bytes);
    if (declaration_) size.too_large |= !platform::checked_add(size.bytes, XML_DECLARATION.size(), size.bytes);
    size.characters = size.bytes - stats_.continuation;
    const unsigned top = stats_.max_byte;
    size.max_char = top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
    return size;
}

namespace {

thread_local FlatSnapshot* t_snapshot = nullptr;
thread_local bool t_snapshot_lent = false;

// Frees the thread's snapshot when the thread ends.
struct ThreadSnapshotOwner {
    ~ThreadSnapshotOwner() {
        delete t_snapshot;
        t_snapshot = nullptr;
    }
};

}  // namespace

SnapshotLease::SnapshotLease() : snapshot_(nullptr), owned_(false) {
    if (t_snapshot_lent) {
        snapshot_ = new FlatSnapshot();
        owned_ = true;
        return;
    }
    if (!t_snapshot) {
        // The owner is created on first use; it deletes the snapshot at thread exit.
        static thread_local ThreadSnapshotOwner owner;
        (void)owner;
        t_snapshot = new FlatSnapshot();
    }
    snapshot_ = t_snapshot;
    t_snapshot_lent = true;
}

SnapshotLease::~SnapshotLease() {
    snapshot_->clear();
    if (owned_) {
        delete snapshot_;
        return;
    }
    snapshot_->trim();
    t_snapshot_lent = false;
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
