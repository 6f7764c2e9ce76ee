// Serializer throughput: a record-like tree and a text-heavy tree written into
// memory and to a file, and the escaping scan on text with nothing to escape
// against a plain memcpy of the same bytes.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "storage/element_record.hpp"
#include "storage/source_text.hpp"
#include "write/escape.hpp"
#include "write/string_sink.hpp"
#include "write/xml_output.hpp"

using namespace brindxml;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Makes the strings of a tree: owned copies, as a tree built from Python
// values has, or views into one shared document text, as a parsed tree has.
class StringMaker {
public:
    // Owned copies.
    StringMaker() = default;
    // Views: `build` runs once with a recording maker to lay out the document
    // text, then again to build the tree with views in the same order.
    template <class Build>
    static ElementRecord with_views(Build build) {
        StringMaker recorder;
        recorder.recording_ = true;
        { ElementRecord discarded = build(recorder); }
        StringMaker viewer;
        viewer.source_ = SourceRef(SourceText::copy_of(recorder.document_));
        return build(viewer);
    }

    NodeString operator()(std::string_view s) {
        if (recording_) {
            document_ += s;
            return NodeString();
        }
        if (!source_) return NodeString::owned_copy(s);
        NodeString view = NodeString::view(source_.get(), cursor_, cursor_ + s.size());
        cursor_ += s.size();
        return view;
    }

private:
    bool recording_ = false;
    std::string document_;
    SourceRef source_;
    uint64_t cursor_ = 0;
};

ElementRecord element(StringMaker& make, std::string_view name, const std::string* text = nullptr) {
    ElementRecord e;
    e.name = make(name);
    if (text) e.text = make(*text);
    return e;
}

// About 170 bytes of output per row: attributes, short texts, an empty element.
ElementRecord record_tree(StringMaker& make, int rows) {
    ElementRecord root = element(make, "records");
    root.children.reserve(static_cast<size_t>(rows));
    for (int i = 0; i < rows; ++i) {
        ElementRecord row = element(make, "record");
        row.attrs = AttrMap::with_new_keys(2);
        NodeString id_key = make("id");
        row.attrs.insert_new(std::move(id_key), make(std::to_string(i)));
        NodeString kind_key = make("kind");
        row.attrs.insert_new(std::move(kind_key), make(i % 7 ? "plain" : "a&b"));
        const std::string name = std::string("customer ").append(std::to_string(int64_t{i} * 7919 % 100000));
        const std::string amount = std::to_string(i % 1000).append(".").append(std::to_string(i % 100));
        const std::string note = i % 5 ? "ok" : "needs \"review\" <soon>";
        row.children.push_back(element(make, "name", &name));
        row.children.push_back(element(make, "amount", &amount));
        row.children.push_back(element(make, "note", &note));
        row.children.push_back(element(make, "flag"));
        root.children.push_back(std::move(row));
    }
    return root;
}

// Paragraphs of a few kilobytes, mostly plain prose with a rare special.
ElementRecord text_tree(StringMaker& make, int paragraphs) {
    static const char kWords[] =
        "the quick brown fox jumps over the lazy dog while seven wizards quietly judge boxing matches ";
    ElementRecord root = element(make, "book");
    for (int i = 0; i < paragraphs; ++i) {
        std::string text;
        while (text.size() < 5000) text += kWords;
        if (i % 3 == 0) text += "Smith & Sons' \"edition\"";
        root.children.push_back(element(make, "p", &text));
    }
    return root;
}

struct Timing {
    double best_seconds;
    size_t bytes;
};

template <class Build, class Write>
Timing best_of(int runs, Build build, Write write) {
    Timing timing{1e30, 0};
    for (int r = 0; r < runs; ++r) {
        ElementRecord tree = build();
        const auto start = Clock::now();
        const size_t bytes = write(std::move(tree));
        timing.best_seconds = std::min(timing.best_seconds, seconds_since(start));
        timing.bytes = bytes;
    }
    return timing;
}

void report(const char* what, Timing t) {
    if (t.bytes == 0) {
        std::printf("%-50s %11s in %7.2f ms\n", what, "", t.best_seconds * 1e3);
        return;
    }
    std::printf("%-50s %8.1f MB in %7.2f ms  %7.0f MB/s\n", what, static_cast<double>(t.bytes) / 1e6, t.best_seconds * 1e3,
                static_cast<double>(t.bytes) / 1e6 / t.best_seconds);
}

// Sizes and repetitions; --quick divides them so that the whole run is short
// enough for callgrind (instruction counts, not times, are what it is for).
int g_scale = 1;
int g_runs = 3;

void bench_trees() {
    const auto to_string = [](ElementRecord&& tree) { return write_xml_string(std::move(tree), 4, true).size(); };
    const auto to_file = [](ElementRecord&& tree) {
        const std::string path = "/tmp/brindxml_core_write_bench.xml";
        (void)write_xml_file(path, std::move(tree), 4, true);
        FILE* f = std::fopen(path.c_str(), "rb");
        std::fseek(f, 0, SEEK_END);
        const size_t size = static_cast<size_t>(std::ftell(f));
        std::fclose(f);
        std::remove(path.c_str());
        return size;
    };
    const auto owned_records = [] {
        StringMaker make;
        return record_tree(make, 300000 / g_scale);
    };
    const auto viewed_records = [] {
        return StringMaker::with_views([](StringMaker& make) { return record_tree(make, 300000 / g_scale); });
    };
    const auto owned_texts = [] {
        StringMaker make;
        return text_tree(make, 10000 / g_scale);
    };
    // What freeing the tree costs by itself: the writer releases it as it goes.
    const auto release_only = [](ElementRecord&& tree) {
        ElementRecord released = std::move(tree);
        return size_t{0};
    };
    report("record tree -> released, nothing written", best_of(g_runs, owned_records, release_only));
    report("record tree -> write_xml_string", best_of(g_runs, owned_records, to_string));
    report("record tree -> write_xml_file", best_of(g_runs, owned_records, to_file));
    report("record tree of views -> released, nothing written", best_of(g_runs, viewed_records, release_only));
    report("record tree of views -> write_xml_string", best_of(g_runs, viewed_records, to_string));
    report("record tree of views -> write_xml_file", best_of(g_runs, viewed_records, to_file));
    report("text tree -> write_xml_string", best_of(g_runs, owned_texts, to_string));
    report("text tree -> write_xml_file", best_of(g_runs, owned_texts, to_file));
}

// The scan must be close to a copy when there is nothing to replace.
void bench_escape(size_t size, int repetitions) {
    std::string text(size, ' ');
    for (size_t i = 0; i < size; ++i) text[i] = "abcdefghijklmnopqrstuvwxyz ABCDEFG.,0123456789"[i % 46];
    std::vector<char> destination(size);
    std::memset(destination.data(), 1, size);

    double copy_best = 1e30;
    double escape_best = 1e30;
    for (int round = 0; round < 5; ++round) {
        auto start = Clock::now();
        for (int r = 0; r < repetitions; ++r) {
            std::memcpy(destination.data(), text.data(), size);
            asm volatile("" : : "r"(destination.data()) : "memory");
        }
        copy_best = std::min(copy_best, seconds_since(start));

        StringSink sink;
        sink.reserve(size);
        (void)sink.append(std::string_view(text).substr(0, size));  // touch the pages once
        start = Clock::now();
        for (int r = 0; r < repetitions; ++r) {
            sink.clear();
            (void)write_escaped(sink, text, EscapeMode::Text);
        }
        const double escape_time = seconds_since(start);
        escape_best = std::min(escape_best, escape_time);
        if (sink.size() != size) std::printf("unexpected escaped size\n");
    }
    const double total = static_cast<double>(size) * repetitions / 1e6;
    std::printf("plain text %8zu bytes x %5d: memcpy %7.0f MB/s, write_escaped %7.0f MB/s, ratio %.2f\n", size,
                repetitions, total / copy_best, total / escape_best, escape_best / copy_best);
}

// The scan alone, without the copy into the sink.
void bench_scan(size_t size, int repetitions) {
    std::string text(size, ' ');
    for (size_t i = 0; i < size; ++i) text[i] = "abcdefghijklmnopqrstuvwxyz ABCDEFG.,0123456789"[i % 46];
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        const auto start = Clock::now();
        for (int r = 0; r < repetitions; ++r) {
            const char* found = find_escape<EscapeMode::Attribute>(text.data(), text.data() + size);
            asm volatile("" : : "r"(found) : "memory");
        }
        best = std::min(best, seconds_since(start));
    }
    std::printf("find_escape alone (Attribute) %8zu bytes: %7.0f MB/s\n", size,
                static_cast<double>(size) * repetitions / 1e6 / best);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--quick") {
        g_scale = 20;
        g_runs = 1;
    }
    bench_trees();
    bench_escape(64 << 10, 4000 / g_scale);
    bench_escape(64 << 20, g_scale == 1 ? 4 : 1);
    bench_scan(64 << 10, 4000 / g_scale);
    return 0;
}
