#include "write/xml_writer.hpp"

#include <array>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/compiler.hpp"
#include "storage/view_batches.hpp"
#include "write/escape.hpp"

namespace brindxml {

namespace {

// A line break followed by enough spaces for the usual indentation, so that
// a line start is a single piece.
constexpr size_t kShortIndent = 128;
constexpr std::array<char, kShortIndent + 1> kLineBreakAndSpaces = [] {
    std::array<char, kShortIndent + 1> run{};
    run[0] = '\n';
    for (size_t i = 1; i < run.size(); ++i) run[i] = ' ';
    return run;
}();

// An element whose start tag is written and whose end tag is not yet.
struct OpenElement {
    ElementRecord* element;
    ElementRecord* next_child;
    ElementRecord* end_of_children;
};

OpenElement open_element(ElementRecord& element) noexcept {
    ElementRecord* first = element.children.data();
    return {&element, first, first + element.children.size()};
}

// Frees everything the element owns, its view references into `views`. Its
// children have been released already, so this never walks a subtree.
void release(ElementRecord& element, ViewReleaseBatch& views) noexcept {
    views.drop(element.name);
    views.drop(element.text);
    views.drop(element.attrs);
    ElementRecord written = std::move(element);
}

}  // namespace

template <ByteSink Sink>
WriteStatus XmlWriter<Sink>::break_line() {
    // indent_width × depth spaces; a count beyond 64 bits cannot be allocated either.
    uint64_t spaces;
    if (!platform::checked_multiply(indent_width_, depth_, spaces)) throw std::bad_alloc();
    if (spaces <= kShortIndent) {
        size_t length = static_cast<size_t>(spaces) + 1;
        // Knowing the length is at most 129, GCC copies with `rep movsq`,
        // whose start-up cost is several times a short memcpy: hide the bound.
        platform::hide_value(length);
        return sink_.append(std::string_view(kLineBreakAndSpaces.data(), length));
    }
    if (WriteStatus error = sink_.append("\n")) return error;
    return sink_.append_spaces(spaces);
}

template <ByteSink Sink>
WriteStatus XmlWriter<Sink>::write_start(ElementRecord& element, bool& open) {
    if (line_break_pending_) {
        if (WriteStatus error = break_line()) return error;
    }
    line_break_pending_ = true;
    if (WriteStatus error = sink_.append("<")) return error;
    if (WriteStatus error = sink_.append(element.name.bytes())) return error;
    for (const AttrMap::Entry& attribute : element.attrs) {
        if (WriteStatus error = sink_.append(" ")) return error;
        if (WriteStatus error = sink_.append(attribute.key.bytes())) return error;
        if (WriteStatus error = sink_.append("=\"")) return error;
        if (WriteStatus error = write_escaped<EscapeMode::Attribute>(sink_, attribute.value.bytes())) return error;
        if (WriteStatus error = sink_.append("\"")) return error;
    }
    released_views_.drop(element.attrs);
    element.attrs = AttrMap();

    if (!element.text && element.children.empty()) {
        open = false;
        return sink_.append("/>");
    }
    open = true;
    if (WriteStatus error = sink_.append(">")) return error;
    ++depth_;
    if (element.text) {
        if (WriteStatus error = write_escaped<EscapeMode::Text>(sink_, element.text->bytes())) return error;
        line_break_pending_ = false;
        released_views_.drop(element.text);
        element.text.reset();
    }
    return {};
}

template <ByteSink Sink>
WriteStatus XmlWriter<Sink>::write_end(const ElementRecord& element) {
    --depth_;
    if (line_break_pending_) {
        if (WriteStatus error = break_line()) return error;
    }
    line_break_pending_ = true;
    if (WriteStatus error = sink_.append("</")) return error;
    if (WriteStatus error = sink_.append(element.name.bytes())) return error;
    return sink_.append(">");
}

template <ByteSink Sink>
WriteStatus XmlWriter<Sink>::write_element(ElementRecord&& element) {
    // Taken over here, so that whatever is left after an error or an
    // exception is freed on the way out.
    ElementRecord root = std::move(element);

    bool open = false;
    if (WriteStatus error = write_start(root, open)) return error;
    if (!open) return {};

    std::vector<OpenElement> open_elements;
    open_elements.push_back(open_element(root));
    while (!open_elements.empty()) {
        OpenElement& top = open_elements.back();
        if (top.next_child != top.end_of_children) {
            ElementRecord& child = *top.next_child++;
            if (WriteStatus error = write_start(child, open)) return error;
            if (open) {
                open_elements.push_back(open_element(child));
            } else {
                release(child, released_views_);
            }
        } else {
            ElementRecord& finished = *top.element;
            open_elements.pop_back();
            if (WriteStatus error = write_end(finished)) return error;
            release(finished, released_views_);
        }
    }
    return {};
}

template class XmlWriter<StringSink>;
template class XmlWriter<BufferedFileWriter>;

}  // namespace brindxml
