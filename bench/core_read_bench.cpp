// Throughput of the native reader (structural index, then record tree) on
// corpora generated in memory. Prints MB/s (10^6 bytes per second), best of
// several runs, timed with the process's CPU clock (its user and system time,
// page faults included), so that other processes on a busy machine do not
// count. Usage: core_read_bench [megabytes per corpus, default 50]
//        core_read_bench --file LABEL ROOT PATH [--file LABEL ROOT PATH ...]
// The second form measures documents read from files (bench/bench_reader.py
// passes it the corpora the Python figures are measured on).
#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "index/index_windows.hpp"
#include "index/scanners.hpp"
#include "index/structural_index.hpp"
#include "read/tree_builder.hpp"
#include "storage/source_text.hpp"

using namespace brindxml;

namespace {

// A cheap deterministic sequence, so every run measures the same bytes.
struct Sequence {
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    uint64_t below(uint64_t n) { return next() % n; }
};

const char* kCities[] = {"Springfield", "Riverton", "Lakeside", "M\xC3\xBCnchen", "Oakridge", "Fairview"};
const char* kNames[] = {"Alice", "Bob", "Carla", "Dmitri", "Eve", "Fran\xC3\xA7ois", "Grace", "Hiro"};

// <records> holding <record id=".." name=".." city=".." score="..">text</record>.
std::string record_corpus(uint64_t bytes) {
    Sequence seq;
    std::string doc = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<records>\n";
    for (uint64_t id = 0; doc.size() < bytes; ++id) {
        doc += "  <record id=\"" + std::to_string(id) + "\" name=\"" + kNames[seq.below(8)] + " " +
               std::to_string(seq.below(1000)) + "\" city=\"" + kCities[seq.below(6)] + "\" score=\"" +
               std::to_string(seq.below(100)) + "." + std::to_string(seq.below(100)) + "\">" +
               (seq.below(4) ? "active" : "on hold") + "</record>\n";
    }
    return doc + "</records>\n";
}

// Self-closing rows with six attributes each: twelve quotes per `<`.
std::string quote_dense_corpus(uint64_t bytes) {
    Sequence seq;
    std::string doc = "<table>\n";
    for (uint64_t id = 0; doc.size() < bytes; ++id) {
        doc += "<row a=\"" + std::to_string(id) + "\" b=\"" + std::to_string(seq.below(100000)) + "\" c='" +
               kNames[seq.below(8)] + "' d=\"" + kCities[seq.below(6)] + "\" e=\"x\" f=\"" +
               std::to_string(seq.below(10)) + "\"/>\n";
    }
    return doc + "</table>\n";
}

// Long paragraphs with entity and character references, CDATA and comments.
std::string text_corpus(uint64_t bytes) {
    Sequence seq;
    static const char* kWords[] = {"the", "reader", "walks", "an", "index", "of", "markup", "and", "text",
                                   "while", "it's", "\"quoted\"", "na\xC3\xAFve", "caf\xC3\xA9", "\xE2\x80\x94"};
    std::string doc = "<book>\n";
    while (doc.size() < bytes) {
        doc += "<chapter title=\"Chapter\">\n";
        for (int p = 0; p < 8; ++p) {
            doc += "<para>";
            for (int w = 0; w < 120; ++w) {
                doc += kWords[seq.below(15)];
                const uint64_t r = seq.below(40);
                doc += r == 0 ? " &amp; " : r == 1 ? " &lt;tag&gt; " : r == 2 ? " &#233; " : " ";
            }
            doc += "</para>\n";
            if (p % 3 == 0) doc += "<!-- a remark between paragraphs -->\n";
            if (p % 4 == 1) doc += "<code><![CDATA[if (a < b && c > d) { return \"<x>\"; }]]></code>\n";
        }
        doc += "</chapter>\n";
    }
    return doc + "</book>\n";
}

// Chains of 10,000 nested elements, each level with a little text.
std::string nested_corpus(uint64_t bytes) {
    std::string doc = "<root>";
    while (doc.size() < bytes) {
        for (int i = 0; i < 10000; ++i) doc += "<level n=\"1\">t";
        for (int i = 0; i < 10000; ++i) doc += "</level>";
    }
    return doc + "</root>";
}

// Seconds of CPU time this process has used.
double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

double best_seconds(int runs, const std::function<void()>& work) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double t0 = cpu_seconds();
        work();
        best = std::min(best, cpu_seconds() - t0);
    }
    return best;
}

void run_corpus(const char* label, const std::string& doc, const char* root, int runs) {
    const double mb = static_cast<double>(doc.size()) / 1e6;
    SourceRef source(SourceText::copy_of(doc));

    const double tag_seeking = best_seconds(runs, [&] {
        auto index = scan_tag_seeking(doc);
        if (!index) std::abort();
    });
    std::printf("%-22s %7.1f MB  index: tag-seeking %6.0f MB/s", label, mb, mb / tag_seeking);
    for (ScanPath path : kAllScanPaths) {
        if (!scan_path_available(path)) continue;
        const double bitmap = best_seconds(runs, [&] {
            auto index = scan_bitmap(doc, path);
            if (!index) std::abort();
        });
        std::printf(", bitmap %s %6.0f MB/s", scan_path_name(path), mb / bitmap);
    }
    // As the tree builder scans: a window of constructs at a time.
    const double chosen = best_seconds(runs, [&] {
        IndexWindows windows(doc);
        if (windows.scan_rest()) std::abort();
    });
    const std::string scanner = (prefers_bitmap_scanner(doc) ? std::string("bitmap ") + scan_path_name(fastest_scan_path())
                                                              : std::string("tag-seeking")) +
                                ", windows of " + std::to_string(IndexWindows::kDefaultWindowTags);
    std::printf("\n%-22s %7s     index as built for the tree (%s): %6.0f MB/s\n", "", "", scanner.c_str(),
                mb / chosen);
    double tree = 1e30;
    double drop = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double t0 = cpu_seconds();
        auto result = build_tree(source.get(), root);
        const double t1 = cpu_seconds();
        if (!result) {
            std::printf("error: %s\n", result.error().display().c_str());
            std::abort();
        }
        { RecordTree dropped = std::move(result.value()); }
        const double t2 = cpu_seconds();
        tree = std::min(tree, t1 - t0);
        drop = std::min(drop, t2 - t1);
    }
    std::printf("%-22s %7s     index + tree: %7.0f MB/s   (dropping the tree: %.1f ms)\n", "", "", mb / tree,
                drop * 1e3);
    // The same, with the previous tree dropped only once the next is built,
    // as a program does that replaces a document: the process's allocator
    // then has no reason to give the freed pages back to the system between
    // parses, which it may do above (glibc trims the top of its heap).
    double replacing = 1e30;
    RecordTree previous;
    for (int i = 0; i < runs; ++i) {
        const double t0 = cpu_seconds();
        auto result = build_tree(source.get(), root);
        const double t1 = cpu_seconds();
        if (!result) std::abort();
        previous = std::move(result.value());
        replacing = std::min(replacing, t1 - t0);
    }
    std::printf("%-22s %7s     index + tree, replacing a tree: %7.0f MB/s\n", "", "", mb / replacing);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--file") {
        for (int i = 1; i < argc; i += 4) {
            if (i + 3 >= argc || std::string(argv[i]) != "--file") {
                std::fprintf(stderr, "usage: %s --file LABEL ROOT PATH [--file LABEL ROOT PATH ...]\n", argv[0]);
                return 2;
            }
            std::ifstream in(argv[i + 3], std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", argv[i + 3]);
                return 2;
            }
            const std::string doc{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            run_corpus(argv[i + 1], doc, argv[i + 2], 5);
        }
        return 0;
    }
    const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 50;
    const uint64_t bytes = megabytes * 1000 * 1000;
    const int runs = 5;
    run_corpus("records", record_corpus(bytes), "records", runs);
    run_corpus("quote-dense rows", quote_dense_corpus(bytes), "table", runs);
    run_corpus("text, entities, CDATA", text_corpus(bytes), "book", runs);
    run_corpus("nested 10,000 deep", nested_corpus(bytes / 5), "root", runs);
    std::string deep;
    for (int i = 0; i < 1000000; ++i) deep += "<d>";
    for (int i = 0; i < 1000000; ++i) deep += "</d>";
    run_corpus("nested 1,000,000 deep", deep, "d", 3);
    return 0;
}
