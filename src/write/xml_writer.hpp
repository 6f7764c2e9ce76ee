// The serializer: walks an ElementRecord tree and appends indented XML to a
// sink. Specialised per sink, so the in-memory path makes no indirect call
// per piece.
#pragma once

#include <cstdint>

#include "storage/element_record.hpp"
#include "storage/view_batches.hpp"
#include "write/buffered_file_writer.hpp"
#include "write/sink.hpp"
#include "write/string_sink.hpp"

namespace brindxml {

template <ByteSink Sink>
class XmlWriter {
public:
    XmlWriter(Sink& sink, uint64_t indent_width) noexcept : sink_(sink), indent_width_(indent_width) {}

    // Writes `element` and everything below it. Consumes the element: each
    // subtree is released as soon as its end tag is written, so memory goes
    // down while the output grows. The walk keeps its own stack of open
    // elements; tree depth costs heap, not native stack. The first I/O error
    // ends the walk and is returned; nothing more is written.
    WriteStatus write_element(ElementRecord&& element);

    uint64_t depth() const noexcept { return depth_; }
    bool line_break_pending() const noexcept { return line_break_pending_; }

private:
    // Start tag, attributes and text. `open` tells whether an end tag must
    // follow (false for the self-closing form).
    WriteStatus write_start(ElementRecord& element, bool& open);
    WriteStatus write_end(const ElementRecord& element);
    // A line break and indent_width × depth spaces.
    WriteStatus break_line();

    Sink& sink_;
    uint64_t indent_width_;
    uint64_t depth_ = 0;
    // Whether a line break and indentation go before the next start or end
    // tag; false only between an element's text and the next tag.
    bool line_break_pending_ = false;
    // The view references of written strings, returned in bulk.
    ViewReleaseBatch released_views_;
};

extern template class XmlWriter<StringSink>;
extern template class XmlWriter<BufferedFileWriter>;

}  // namespace brindxml
