// Reading a whole file into an Owned SourceText: contents of every size,
// files whose size is unknown up front, UTF-8 validation and each error kind.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "read/file_source.hpp"

#include "check.hpp"

using namespace brindxml;

namespace {



std::string directory;

std::string write_file(const std::string& name, std::string_view contents) {
    const std::string path = directory + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (!contents.empty()) std::fwrite(contents.data(), 1, contents.size(), f);
    std::fclose(f);
    return path;
}

void test_contents() {
    std::string large;
    for (int i = 0; large.size() < 3 * 1000 * 1000; ++i) large += "<r i='" + std::to_string(i) + "'>\xC3\xA9</r>\n";
    const std::pair<const char*, std::string> kFiles[] = {
        {"empty", ""},
        {"one byte", "x"},
        {"utf-8", "<a>\xE2\x82\xAC\xF0\x9F\x98\x80</a>"},
        {"8192 bytes", std::string(8192, 'z')},
        {"large", large},
    };
    int n = 0;
    for (const auto& [what, contents] : kFiles) {
        auto result = read_source_file(write_file("file" + std::to_string(n++), contents));
        check(result.ok() && result.value()->bytes() == contents && result.value()->kind() == SourceText::Kind::Owned &&
                  result.value()->reference_count() == 1,
              std::string("contents of ") + what);
    }
    // A file whose size is not known in advance (stat reports 0) is read to the end.
    auto proc = read_source_file("/proc/self/status");
    check(proc.ok() && proc.value()->length() > 0 && proc.value()->bytes().find("Name:") == 0,
          "a /proc file read to its end");
}

struct ErrorCase {
    const char* what;
    std::string contents;
    const char* expected;
    uint64_t offset;  // of the first byte of the first invalid sequence
};

void test_not_utf8() {
    const ErrorCase kCases[] = {
        {"0xFF byte", "<a>\xFF</a>", kNotUtf8, 3},
        {"truncated sequence at the end", "<a/>\xE2\x82", kNotUtf8, 4},
        {"encoded surrogate", "\xED\xA0\x80", kNotUtf8, 0},
        {"overlong encoding", "\xC0\xAF", kNotUtf8, 0},
        {"after 20 ASCII bytes and a valid sequence", std::string(20, 'x') + "\xC3\xA9\xE2\x28\xA1", kNotUtf8, 22},
    };
    int n = 0;
    for (const ErrorCase& c : kCases) {
        auto result = read_source_file(write_file("bad" + std::to_string(n++), c.contents));
        check(!result.ok() && result.error().kind == IoError::Kind::InvalidData &&
                  std::string_view(result.error().message) == c.expected && result.error().offset == c.offset,
              c.what);
    }
}

void test_os_errors() {
    auto missing = read_source_file(directory + "/does-not-exist");
    check(!missing.ok() && missing.error().kind == IoError::Kind::Os && missing.error().number == ENOENT,
          "missing file: ENOENT");
    auto dir = read_source_file(directory);
    check(!dir.ok() && dir.error().kind == IoError::Kind::Os && dir.error().number == EISDIR, "directory: EISDIR");
    auto not_dir = read_source_file(write_file("plain", "x") + "/child");
    check(!not_dir.ok() && not_dir.error().kind == IoError::Kind::Os && not_dir.error().number == ENOTDIR,
          "path through a file: ENOTDIR");
}

// A NUL byte is refused before any system call: the part before it names an
// existing file, which is still not read.
void test_nul_in_path() {
    const std::string existing = write_file("exists", "<a/>");
    const std::string path = existing + std::string(1, '\0') + "rest";
    auto result = read_source_file(path);
    check(!result.ok() && result.error().kind == IoError::Kind::InvalidInput &&
              std::string_view(result.error().message) == kNulInFileName,
          "NUL in the path");
}

}  // namespace

int main() {
    char pattern[] = "/tmp/file_source_test.XXXXXX";
    if (!mkdtemp(pattern)) return 2;
    directory = pattern;
    test_contents();
    test_not_utf8();
    test_os_errors();
    test_nul_in_path();
    std::system(("rm -rf '" + directory + "'").c_str());
    return report();
}
