// repr(node), str(node) and node.__to_string(spacing=None).
//
// The outline of a node is its "Name:" line, its attributes, its text and,
// after "Children:", each child's outline (two spaces deeper) written as
// "\n" + the parent's pad + the child's outline + "\n". Only the top node's
// width comes from the 8-bit `spacing`; deeper widths are counted in 64 bits
// so indentation keeps growing instead of wrapping. The walk keeps its own
// stack, and the outline's size is measured before anything is written: a
// deep chain's outline grows with the square of its depth, and one that
// would not fit in a sane share of memory raises MemoryError at once.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "binding/errors.hpp"
#include "entities/node_methods.hpp"
#include "entities/node_object.hpp"
#include "entities/node_type_members.hpp"
#include "entities/node_walk.hpp"
#include "platform/system.hpp"

namespace brindxml {

namespace {

// Adds up the outline's length; stops counting once it passes `limit`.
class OutlineMeasure {
public:
    explicit OutlineMeasure(uint64_t limit) noexcept : limit_(limit) {}
    void append(std::string_view bytes) noexcept { add(bytes.size()); }
    void pad(uint64_t width) noexcept { add(width); }
    bool over_limit() const noexcept { return over_; }
    uint64_t size() const noexcept { return size_; }

private:
    void add(uint64_t count) noexcept {
        if (count > limit_ - size_) {
            over_ = true;
            size_ = limit_;
            return;
        }
        size_ += count;
    }
    uint64_t limit_;
    uint64_t size_ = 0;
    bool over_ = false;
};

class OutlineText {
public:
    explicit OutlineText(uint64_t size) { text_.reserve(size); }
    void append(std::string_view bytes) { text_.append(bytes); }
    void pad(uint64_t width) { text_.append(width, ' '); }
    bool over_limit() const noexcept { return false; }
    const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

// Everything of one node before its children's outlines.
template <class Sink>
void append_head(const NodeFields& fields, uint64_t width, Sink& sink) {
    sink.pad(width);
    sink.append("Name: ");
    sink.append(fields.name.bytes());
    if (!fields.attrs.empty()) {
        sink.append("\n");
        sink.pad(width);
        sink.append("Attributes:");
        fields.attrs.for_each([&](const NodeString& key, const NodeString& value) {
            sink.append("\n");
            sink.pad(width);
            sink.append(key.bytes());
            sink.append(": ");
            sink.append(value.bytes());
        });
    }
    if (fields.text) {
        sink.append("\n");
        sink.pad(width);
        sink.append("Text: ");
        sink.append(fields.text->bytes());
    }
    if (!fields.children.empty()) {
        sink.append("\n");
        sink.pad(width);
        sink.append("Children:");
    }
}

// Writes the outline of `root` at `width` into the sink, in the order the
// recursive definition gives. False when the sink went over its limit.
template <class Sink>
struct OutlineVisitor {
    Sink& sink;
    bool enter(const NodeFields& fields, uint64_t& width, uint64_t) {
        append_head(fields, width, sink);
        return !sink.over_limit();
    }
    uint64_t child(const NodeFields&, uint64_t& parent_width, size_t) {
        sink.append("\n");
        sink.pad(parent_width);
        return parent_width + 2;
    }
    bool leave(const NodeFields&, uint64_t&, uint64_t depth) {
        if (depth != 0) sink.append("\n");
        return !sink.over_limit();
    }
};

template <class Sink>
bool append_outline(PyObject* root, uint64_t width, Sink& sink) {
    OutlineVisitor<Sink> visitor{sink};
    return walk_nodes(root, width, visitor) && !sink.over_limit();
}

// The largest outline built: a quarter of physical memory (the text is built
// once and then copied into the str), and never more than a str can hold.
uint64_t outline_size_limit() noexcept {
    const uint64_t memory = platform::physical_memory();
    const uint64_t limit = memory != 0 ? memory / 4 : uint64_t{1} << 32;
    const auto str_limit = static_cast<uint64_t>(PY_SSIZE_T_MAX);
    return limit < str_limit ? limit : str_limit;
}

PyObject* outline_str(PyObject* node, uint64_t width) {
    static const uint64_t limit = outline_size_limit();
    OutlineMeasure measure(limit);
    if (!append_outline(node, width, measure)) return PyErr_NoMemory();
    OutlineText text(measure.size());
    append_outline(node, width, text);
    const std::string& bytes = text.text();
    return PyUnicode_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

constexpr const char* kToStringParameters[] = {"spacing"};
constexpr Signature kToStringSignature = {"Node.__to_string()", kToStringParameters, 1, 0};

}  // namespace

PyObject* node_repr(PyObject* self) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        std::string text = "Node(";
        text += fields_of(self).name.bytes();
        text += ')';
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* node_str(PyObject* self) {
    EntryGuard guard;
    return guarded([&] { return outline_str(self, 0); });
}

PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EntryGuard guard;
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall(kToStringSignature, args, nargs, kwnames, bound)) return nullptr;
        uint64_t width = 0;
        if (!is_absent(bound[0])) {
            auto spacing = convert_u8(bound[0]);
            if (!spacing) return add_parameter_note("spacing"), nullptr;
            width = *spacing;
        }
        return outline_str(self, width);
    });
}

}  // namespace brindxml
