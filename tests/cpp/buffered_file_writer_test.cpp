// The file sink: the exact buffering rules, the file that write_xml_file
// leaves behind, and every way opening or writing can fail.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "storage/element_record.hpp"
#include "storage/source_text.hpp"
#include "write/buffered_file_writer.hpp"
#include "write/xml_output.hpp"

#include "check.hpp"
#include "records.hpp"

using namespace brindxml;
using namespace brindxml::test;

namespace {



std::string describe(const WriteStatus& status) {
    if (!status) return "success";
    if (status->kind == IoError::Kind::Os) return "os error " + std::to_string(status->number);
    return std::string("\"") + status->message + "\"";
}

void check_status(const WriteStatus& got, const WriteStatus& expected, const std::string& what) {
    const bool same = got.has_value() == expected.has_value() &&
                      (!got || (got->kind == expected->kind && got->number == expected->number &&
                                (got->kind == IoError::Kind::Os || std::strcmp(got->message, expected->message) == 0)));
    check(same, what + ": got " + describe(got) + ", expected " + describe(expected));
}

// A scratch directory, removed with its files at the end.
struct ScratchDirectory {
    std::string path;
    ScratchDirectory() {
        char name[] = "/tmp/brindxml-writer-XXXXXX";
        if (!mkdtemp(name)) std::abort();
        path = name;
    }
    ~ScratchDirectory() {
        const std::string command = "rm -rf '" + path + "'";
        if (std::system(command.c_str()) != 0) std::printf("could not remove %s\n", path.c_str());
    }
    std::string file(std::string_view name) const { return path + "/" + std::string(name); }
};

std::optional<std::string> read_file(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return std::nullopt;
    std::string content;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, n);
    std::fclose(f);
    return content;
}

bool exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// Many records, each a few dozen bytes: the output crosses the buffer
// boundary at every possible offset.
ElementRecord many_records() {
    ElementRecord root = element("records");
    for (int i = 0; i < 3000; ++i) {
        const std::string id = std::to_string(i);
        ElementRecord row = element("row", std::nullopt, {{"id", id}, {"kind", i % 3 ? "a<b" : "tab\tcr\r"}});
        row.children.push_back(element("name", "n&" + id));
        row.children.push_back(element("empty"));
        root.children.push_back(std::move(row));
    }
    return root;
}

// Pieces of exactly 8191, 8192 and 8193 bytes, and a text far larger than the
// buffer with specials spread through it.
ElementRecord big_pieces() {
    std::string scattered;
    for (int i = 0; i < 40000; ++i) scattered += i % 997 == 0 ? '&' : static_cast<char>('a' + i % 26);
    return with(element("big", std::string(8191, 'x')), element("t", std::string(8192, 'y')),
                element("u", std::nullopt, {{"k", std::string(8193, 'z')}}), element("v", scattered));
}

ElementRecord deep_million() {
    ElementRecord tree = element("d", "x");
    for (int i = 1; i < 1000000; ++i) tree = with(element("d"), std::move(tree));
    return tree;
}

// ---- the buffering rules, observed through a pipe ----------------------------------

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
        read_end = fds[0];
        write_end = fds[1];
        (void)::fcntl(read_end, F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        if (read_end >= 0) ::close(read_end);
        if (write_end >= 0) ::close(write_end);
    }
    int take_write_end() { return std::exchange(write_end, -1); }
    std::string drain() {
        std::string out;
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(read_end, chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
        return out;
    }
};

struct AppendStep {
    size_t piece;            // bytes appended (0: a flush instead)
    size_t reached_file;     // bytes in the pipe after the step, in total
    uint32_t left_buffered;  // bytes in the buffer after the step
};

struct BufferingCase {
    const char* what;
    AppendStep steps[4];
};

const BufferingCase kBufferingCases[] = {
    {"small pieces stay buffered", {{100, 0, 100}, {200, 0, 300}}},
    {"a piece that fills the free space exactly is buffered", {{8191, 0, 8191}, {1, 0, 8192}, {1, 8192, 1}}},
    {"a piece longer than the free space flushes first", {{8000, 0, 8000}, {193, 8000, 193}}},
    {"8191 bytes into an empty buffer are buffered", {{8191, 0, 8191}}},
    {"8192 bytes bypass an empty buffer", {{8192, 8192, 0}}},
    {"8192 bytes after some: flush, then direct", {{10, 0, 10}, {8192, 8202, 0}}},
    {"a large piece goes straight through", {{5, 0, 5}, {20000, 20005, 0}, {3, 20005, 3}}},
    {"flush writes out what is buffered", {{300, 0, 300}, {0, 300, 0}, {0, 300, 0}}},
};

void test_buffering_rules() {
    for (const BufferingCase& c : kBufferingCases) {
        Pipe pipe;
        BufferedFileWriter writer{FileDescriptor(pipe.take_write_end())};
        std::string sent;
        std::string reached;
        char fill = 'a';
        bool ok = true;
        for (const AppendStep& step : c.steps) {
            if (step.piece == 0 && step.reached_file == 0 && step.left_buffered == 0) break;
            WriteStatus status;
            if (step.piece == 0) {
                status = writer.flush();
            } else {
                const std::string piece(step.piece, fill++);
                sent += piece;
                status = writer.append(piece);
            }
            reached += pipe.drain();
            ok = ok && !status && reached.size() == step.reached_file && writer.buffered() == step.left_buffered;
        }
        (void)writer.flush();
        reached += pipe.drain();
        check(ok && reached == sent, c.what);
    }
}

// Spaces go through the buffer in chunks, however many are asked for.
void test_append_spaces() {
    Pipe pipe;
    BufferedFileWriter writer{FileDescriptor(pipe.take_write_end())};
    (void)writer.append("<");
    WriteStatus status = writer.append_spaces(20000);
    const std::string during = pipe.drain();
    status = status ? status : writer.append(">");
    status = status ? status : writer.flush();
    const std::string all = during + pipe.drain();
    check(!status && during.size() == 16384 && all == "<" + std::string(20000, ' ') + ">",
          "20,000 spaces written exactly, through the buffer");
}

// A flush that stops part-way keeps the unwritten rest, in order, at the front.
void test_partial_flush_keeps_the_rest() {
    Pipe pipe;
    const int write_end = pipe.take_write_end();
    (void)::fcntl(write_end, F_SETFL, O_NONBLOCK);
    const int capacity = ::fcntl(write_end, F_SETPIPE_SZ, 4096);
    BufferedFileWriter writer{FileDescriptor(write_end)};
    std::string sent;
    for (int i = 0; i < 8000; ++i) sent += static_cast<char>('A' + i % 50);
    (void)writer.append(sent);
    const WriteStatus first = writer.flush();
    const uint32_t left = writer.buffered();
    check_status(first, IoError::os(EAGAIN), "flush into a full pipe");
    check(capacity > 0 && left == 8000 - static_cast<uint32_t>(capacity) &&
              writer.buffered_bytes() == std::string_view(sent).substr(static_cast<size_t>(capacity)),
          "the written front is removed, the rest stays: left " + std::to_string(left));
    std::string reached = pipe.drain();
    const WriteStatus second = writer.flush();
    reached += pipe.drain();
    check(!second && writer.buffered() == 0 && reached == sent, "a later flush writes the rest in order");
}

// ---- write_xml_file ----------------------------------------------------------------

struct SameBytesCase {
    const char* what;
    ElementRecord (*build)();
    uint64_t indent;
    bool declaration;
};

const SameBytesCase kSameBytesCases[] = {
    {"lone root", [] { return element("a"); }, 4, true},
    {"lone root without declaration", [] { return element("a"); }, 4, false},
    {"text, attributes and children", [] { return with(element("a", "t<", {{"k", "\"v\"\n"}}), element("b"), element("c", "")); }, 2, true},
    {"many records (several flushes)", many_records, 4, true},
    {"many records, indent 0", many_records, 0, false},
    {"pieces around 8192 bytes", big_pieces, 4, true},
    {"indent wider than the buffer", [] { return with(element("a"), with(element("b"), element("c"))); }, 10000, true},
    {"1,000,000 nested levels", deep_million, 0, true},
    // Empty names have no storage (a null pointer): appended as nothing.
    {"empty names and keys", [] { return with(element("", std::nullopt, {{"", ""}}), element(""), element("", "")); }, 0, false},
};

void test_file_matches_string(const ScratchDirectory& dir) {
    for (const SameBytesCase& c : kSameBytesCases) {
        const std::string expected = write_xml_string(c.build(), c.indent, c.declaration);
        const std::string path = dir.file("same.xml");
        const WriteStatus status = write_xml_file(path, c.build(), c.indent, c.declaration);
        const std::optional<std::string> content = read_file(path);
        check(!status && content && *content == expected,
              std::string(c.what) + ": file equals string (" + std::to_string(expected.size()) + " bytes)");
    }
}

void test_existing_file_truncated(const ScratchDirectory& dir) {
    const std::string path = dir.file("long.xml");
    check(!write_xml_file(path, many_records(), 4, true), "write a long file");
    check(!write_xml_file(path, element("a"), 4, false), "rewrite it shorter");
    check(read_file(path) == std::optional<std::string>("<a/>"), "the old content is gone");
}

struct ModeCase {
    mode_t umask_bits;
    mode_t expected;
};

const ModeCase kModeCases[] = {{022, 0644}, {0, 0666}, {077, 0600}, {027, 0640}};

void test_permission_bits(const ScratchDirectory& dir) {
    int index = 0;
    for (const ModeCase& c : kModeCases) {
        const std::string path = dir.file("mode" + std::to_string(index++) + ".xml");
        const mode_t previous = ::umask(c.umask_bits);
        const WriteStatus status = write_xml_file(path, element("a"), 4, true);
        ::umask(previous);
        struct stat info;
        check(!status && ::stat(path.c_str(), &info) == 0 && (info.st_mode & 0777) == c.expected,
              "mode 0666 minus umask " + std::to_string(c.umask_bits));
    }
}

struct OpenFailureCase {
    const char* what;
    std::string path;
    WriteStatus expected;
};

void test_open_failures(const ScratchDirectory& dir) {
    const OpenFailureCase cases[] = {
        {"missing directory", dir.file("no/such/dir.xml"), IoError::os(ENOENT)},
        {"path is a directory", dir.path, IoError::os(EISDIR)},
        {"empty path", "", IoError::os(ENOENT)},
        {"NUL in the path", dir.file("nul") + std::string(1, '\0') + "tail.xml",
         IoError::fixed(IoError::Kind::InvalidInput, kNulInFileName)},
        {"NUL at the start", std::string(1, '\0'), IoError::fixed(IoError::Kind::InvalidInput, kNulInFileName)},
    };
    for (const OpenFailureCase& c : cases) {
        check_status(write_xml_file(c.path, element("a"), 4, true), c.expected, c.what);
    }
    check(!exists(dir.file("nul")), "a path with NUL creates nothing");
}

// On a full device the first failing write is the error, wherever it comes
// from; the record tree is released either way.
void test_device_full() {
    struct Case {
        const char* what;
        ElementRecord (*build)();
    };
    const Case cases[] = {
        {"small document: ENOSPC on the final flush", [] { return element("a"); }},
        {"many records: ENOSPC on a buffer flush", many_records},
        {"text larger than the buffer", [] { return element("a", std::string(9000, 'q')); }},
        {"deep tree: ENOSPC part-way", deep_million},
    };
    for (const Case& c : cases) {
        check_status(write_xml_file("/dev/full", c.build(), 4, true), IoError::os(ENOSPC), c.what);
    }

    SourceText* source = SourceText::copy_of("shared");
    ElementRecord root = many_records();
    for (ElementRecord& row : root.children) row.text = NodeString::view(source, 0, 6);
    check_status(write_xml_file("/dev/full", std::move(root), 4, true), IoError::os(ENOSPC), "views on a full device");
    check(source->reference_count() == 1, "every share released after the error");
    source->release();

    BufferedFileWriter direct{FileDescriptor(::open("/dev/full", O_WRONLY | O_CLOEXEC))};
    check_status(direct.append(std::string(8192, 'd')), IoError::os(ENOSPC), "direct write of 8192 bytes");
    check(direct.buffered() == 0, "a failed direct write buffers nothing");

    BufferedFileWriter flushing{FileDescriptor(::open("/dev/full", O_WRONLY | O_CLOEXEC))};
    (void)flushing.append("abc");
    check_status(flushing.append(std::string(8190, 'e')), IoError::os(ENOSPC), "flush before a long piece");
    check(flushing.buffered_bytes() == "abc", "the piece is not taken after the failed flush");
}

}  // namespace

int main() {
    test_buffering_rules();
    test_append_spaces();
    test_partial_flush_keeps_the_rest();
    {
        ScratchDirectory dir;
        test_file_matches_string(dir);
        test_existing_file_truncated(dir);
        test_permission_bits(dir);
        test_open_failures(dir);
    }
    test_device_full();
    return report();
}
