// What the first bytes of a document say about its encoding: byte order
// marks, `<?` in 16- and 32-bit forms, and the XML declaration's name.
#include <string>
#include <string_view>

#include "read/document_encoding.hpp"

#include "check.hpp"

using namespace brindxml;

namespace {

using Source = DocumentEncoding::Source;

struct Case {
    std::string_view input;
    Source source;
    std::string_view name;
};

const Case kCases[] = {
    // Nothing said: UTF-8.
    {"", Source::None, ""},
    {"<r/>", Source::None, ""},
    {"<?xml version='1.0'?><r/>", Source::None, ""},
    {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>", Source::None, ""},
    {"<?xml version='1.0' encoding='utf8'?>", Source::None, ""},
    {"<?xml version='1.0' encoding='Utf-8' standalone='yes'?>", Source::None, ""},
    // Marks win over any declaration.
    {"\xEF\xBB\xBF<?xml version='1.0' encoding='latin-1'?>", Source::Utf8Mark, ""},
    {std::string_view("\xFF\xFE<\0", 4), Source::Mark, "utf-16"},
    {std::string_view("\xFE\xFF\0<", 4), Source::Mark, "utf-16"},
    {std::string_view("\xFF\xFE\0\0<\0\0\0", 8), Source::Mark, "utf-32"},
    {std::string_view("\0\0\xFE\xFF\0\0\0<", 8), Source::Mark, "utf-32"},
    // `<?` (or `<`) without a mark.
    {std::string_view("<\0?\0x\0", 6), Source::FirstBytes, "utf-16-le"},
    {std::string_view("\0<\0?\0x", 6), Source::FirstBytes, "utf-16-be"},
    {std::string_view("<\0\0\0?\0\0\0", 8), Source::FirstBytes, "utf-32-le"},
    {std::string_view("\0\0\0<\0\0\0?", 8), Source::FirstBytes, "utf-32-be"},
    // The declared name, as written.
    {"<?xml version='1.0' encoding='ISO-8859-1'?><r/>", Source::Declaration, "ISO-8859-1"},
    {"<?xml version = \"1.0\"\n\tencoding = \"windows-1252\" ?>", Source::Declaration, "windows-1252"},
    {"<?xml version='1.0' encoding='utf_8'?>", Source::Declaration, "utf_8"},
    {"<?xml encoding='Shift_JIS'?>", Source::Declaration, "Shift_JIS"},
    // Only a declaration at the very start counts, and only a well-formed one.
    {" <?xml version='1.0' encoding='latin-1'?>", Source::None, ""},
    {"<r/><?xml version='1.0' encoding='latin-1'?>", Source::None, ""},
    {"<?xmlx version='1.0' encoding='latin-1'?>", Source::None, ""},
    {"<?xml version='1.0'?><?xml encoding='latin-1'?>", Source::None, ""},
    {"<?xml version='1.0\" encoding='latin-1'?>", Source::None, ""},
    {"<?xml version='1.0' encoding=latin-1?>", Source::None, ""},
    {"<?xml version='1.0' encoding='latin-1", Source::None, ""},
    {"<?xml version='1.0' encoding=''?>", Source::None, ""},
};

const char* source_name(Source source) {
    switch (source) {
        case Source::None: return "none";
        case Source::Utf8Mark: return "UTF-8 mark";
        case Source::Mark: return "mark";
        case Source::FirstBytes: return "first bytes";
        case Source::Declaration: return "declaration";
    }
    return "?";
}

}  // namespace

int main() {
    for (const Case& c : kCases) {
        const DocumentEncoding got = detect_document_encoding(c.input);
        check(got.source == c.source && got.name == c.name,
              cat("\"", printable(c.input), "\": got ", source_name(got.source), " '", got.name, "', expected ",
                  source_name(c.source), " '", c.name, "'"));
    }
    // The declaration must end within the first 1024 bytes.
    const std::string padded = "<?xml version='1.0'" + std::string(1010, ' ') + "encoding='latin-1'?>";
    check(detect_document_encoding(padded).source == Source::None, "a declaration beyond 1024 bytes is not read");
    return report();
}
