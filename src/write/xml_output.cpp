#include "write/xml_output.hpp"

#include <cerrno>
#include <string>
#include <utility>

#include "platform/system.hpp"

#include "write/buffered_file_writer.hpp"
#include "write/flat_snapshot.hpp"
#include "write/flat_writer.hpp"
#include "write/string_sink.hpp"

namespace brindxml {

ByteBuffer write_xml_buffer(ElementRecord&& root, uint64_t indent_width, bool declaration) {
    const ElementRecord tree = std::move(root);
    FlatSnapshot snapshot;
    snapshot.start(indent_width, declaration, Measure::None);
    flatten_record(tree, snapshot);
    StringSink sink;
    if (declaration) {
        sink.reserve(XML_DECLARATION.size());
        (void)sink.append(XML_DECLARATION);
    }
    ByteEmitter<StringSink> out(sink);
    (void)write_flat(snapshot, indent_width, out);  // the in-memory sink cannot fail
    return sink.take();
}

std::string write_xml_string(ElementRecord&& root, uint64_t indent_width, bool declaration) {
    ByteBuffer buffer = write_xml_buffer(std::move(root), indent_width, declaration);
    return std::string(buffer.bytes());
}

std::optional<IoError> check_room_for(std::string_view path, const FlatSnapshot& snapshot) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;  // refused when opened
    const std::string terminated(path);
    if (platform::is_special_file(terminated.c_str())) return std::nullopt;
    uint64_t room = 0;
    if (platform::room_for_file(terminated.c_str(), room) && !snapshot.fits_in(room)) return IoError::os(ENOSPC);
    if (!snapshot.fits_in(platform::file_size_limit())) return IoError::os(EFBIG);
    return std::nullopt;
}

std::optional<IoError> write_xml_file(std::string_view path, const FlatSnapshot& snapshot,
                                      uint64_t indent_width, bool declaration) {
    Result<FileDescriptor, IoError> file = open_output_file(path);
    if (!file) return file.error();

    // Closing (a last attempt to write what is buffered, then close) happens
    // when `sink` goes out of scope, on every path.
    BufferedFileWriter sink(std::move(file.value()));
    if (declaration) {
        // Fits in the empty buffer: nothing reaches the file yet.
        (void)sink.append(XML_DECLARATION);
    }
    ByteEmitter<BufferedFileWriter> out(sink);
    if (WriteStatus error = write_flat(snapshot, indent_width, out)) return error;
    return sink.flush();
}

std::optional<IoError> write_xml_file(std::string_view path, ElementRecord&& root,
                                      uint64_t indent_width, bool declaration) {
    const ElementRecord tree = std::move(root);
    FlatSnapshot snapshot;
    snapshot.start(indent_width, declaration, Measure::None);
    flatten_record(tree, snapshot);
    return write_xml_file(path, snapshot, indent_width, declaration);
}

}  // namespace brindxml
