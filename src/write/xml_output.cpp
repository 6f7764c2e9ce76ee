#include "write/xml_output.hpp"

#include <utility>

#include "write/buffered_file_writer.hpp"
#include "write/string_sink.hpp"
#include "write/xml_writer.hpp"

namespace brindxml {

ByteBuffer write_xml_buffer(ElementRecord&& root, uint64_t indent_width, bool declaration) {
    ElementRecord tree = std::move(root);
    StringSink sink;
    if (declaration) {
        sink.reserve(XML_DECLARATION.size());
        (void)sink.append(XML_DECLARATION);
    }
    XmlWriter<StringSink> writer(sink, indent_width);
    (void)writer.write_element(std::move(tree));  // the in-memory sink cannot fail
    return sink.take();
}

std::string write_xml_string(ElementRecord&& root, uint64_t indent_width, bool declaration) {
    ByteBuffer buffer = write_xml_buffer(std::move(root), indent_width, declaration);
    return std::string(buffer.bytes());
}

std::optional<IoError> write_xml_file(std::string_view path, ElementRecord&& root,
                                      uint64_t indent_width, bool declaration) {
    ElementRecord tree = std::move(root);
    Result<FileDescriptor, IoError> file = open_output_file(path);
    if (!file) return file.error();

    // Closing (a last attempt to write what is buffered, then close) happens
    // when `sink` goes out of scope, on every path.
    BufferedFileWriter sink(std::move(file.value()));
    if (declaration) {
        // Fits in the empty buffer: nothing reaches the file yet.
        (void)sink.append(XML_DECLARATION);
    }
    XmlWriter<BufferedFileWriter> writer(sink, indent_width);
    if (WriteStatus error = writer.write_element(std::move(tree))) return error;
    return sink.flush();
}

}  // namespace brindxml
