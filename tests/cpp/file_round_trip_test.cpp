// Files named in UTF-8 beyond ASCII, holding CR LF and Ctrl-Z bytes, read and
// written byte for byte: the file layer must neither translate line ends nor
// stop at Ctrl-Z, and must pass names through as UTF-8 (on Windows, as wide
// characters, not through the ANSI code page). Runs on every platform.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>

#include "read/file_source.hpp"
#include "write/xml_output.hpp"

#include "check.hpp"
#include "records.hpp"

using namespace brindxml;
using namespace brindxml::test;
namespace fs = std::filesystem;

namespace {

fs::path native(const std::string& utf8) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string utf8_of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

std::string contents_of(const std::string& path) {
    std::ifstream in(native(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const char* const kNames[] = {
    "plain.xml",
    "caf\xC3\xA9.xml",                      // é: in most ANSI code pages, but not as UTF-8
    "\xE6\x97\xA5\xE6\x9C\xAC.xml",         // CJK: in no Western code page
    "\xF0\x9F\x98\x80 emoji \xCE\xA9.xml",  // beyond the BMP: a surrogate pair in UTF-16
};

void test_read_exact_bytes(const std::string& dir) {
    const std::string bytes = "<a>line\r\none\x1Atwo\r\n</a>\r\n\x1A";
    for (const char* name : kNames) {
        const std::string path = dir + "/" + name;
        std::ofstream(native(path), std::ios::binary) << bytes;
        auto result = read_source_file(path);
        check(result.ok() && result.value()->bytes() == bytes,
              cat("read ", printable(name), " byte for byte, CR LF and Ctrl-Z kept"));
    }
}

void test_write_exact_bytes(const std::string& dir) {
    const auto tree = [] {
        return with(element("r", "x\r\ny\x1Az", {{"k", "v\r\n"}}), element("c", "\xC3\xA9"), element("d"));
    };
    const std::string expected = write_xml_string(tree(), 2, true);
    for (const char* name : kNames) {
        const std::string path = dir + "/out-" + name;
        const auto status = write_xml_file(path, tree(), 2, true);
        check(!status, cat("write ", printable(name)));
        check(fs::exists(native(path)), cat("the file is found under its own name: ", printable(name)));
        check(contents_of(path) == expected, cat("written bytes equal the string form: ", printable(name)));
        auto back = read_source_file(path);
        check(back.ok() && back.value()->bytes() == expected, cat("read back ", printable(name)));
    }
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(native(dir))) {
        const std::string name = utf8_of(entry.path().filename());
        bool known = false;
        for (const char* n : kNames) known = known || name == n || name == std::string("out-") + n;
        check(known, cat("no file with a mangled name: ", printable(name)));
        ++entries;
    }
    check(entries == 2 * static_cast<int>(std::size(kNames)), "one file per name written");
}

void test_missing_files(const std::string& dir) {
    const std::string missing = dir + "/\xC3\xA9-missing/\xE6\x97\xA5.xml";
    auto read = read_source_file(missing);
    check(!read.ok() && read.error().kind == IoError::Kind::Os && read.error().number == ENOENT,
          "reading under a missing directory: ENOENT");
    const auto written = write_xml_file(missing, element("a"), 0, false);
    check(written && written->kind == IoError::Kind::Os && written->number == ENOENT,
          "writing under a missing directory: ENOENT");
}

}  // namespace

int main() {
    std::random_device random;
    const fs::path dir = fs::temp_directory_path() /
                         native(cat("brindxml-\xC3\xBC-", std::to_string(random()), std::to_string(random())));
    fs::create_directory(dir);
    const std::string utf8_dir = utf8_of(dir);
    test_read_exact_bytes(utf8_dir);
    test_write_exact_bytes(utf8_dir);
    test_missing_files(utf8_dir);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    std::printf("file_round_trip_test: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
