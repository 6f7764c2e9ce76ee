// Concurrency stress of the native core, built with ThreadSanitizer by
// `make tsan` (not a *_test.cpp: it is slow and only meaningful under TSan).
// Threads share what Python threads share in the module: one SourceText whose
// views are copied and dropped everywhere, one document parsed by all threads
// at once, one parsed tree copied (as the writer's snapshot copies a tree) and
// written by all threads at once, to memory and to files. Every result must
// equal the single-thread one, and a Python-backed text's owner must be
// released exactly once, by whichever thread drops the last reference.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "read/tree_builder.hpp"
#include "storage/node_string.hpp"
#include "storage/source_text.hpp"
#include "write/xml_output.hpp"

#include "check.hpp"
#include "records.hpp"

using namespace brindxml;
using brindxml::test::same_tree;

namespace {

constexpr int kThreads = 8;



// Runs body(thread_index) on kThreads threads started together; returns how
// many of them reported failure.
template <class Body>
int run_threads(Body body) {
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            if (!body(t)) failures.fetch_add(1);
        });
    }
    for (std::thread& thread : threads) thread.join();
    return failures.load();
}

// A document with the features that make views, owned strings and attribute
// maps: decoded and undecoded text, CDATA, several attributes per element.
std::string sample_document(int records) {
    std::string doc = "<?xml version=\"1.0\"?>\n<catalog>\n";
    for (int i = 0; i < records; ++i) {
        const std::string n = std::to_string(i);
        doc += "  <book id=\"b" + n + "\" lang=\"en\" note=\"a&amp;b\tc\">\n";
        doc += "    <title>Title " + n + " &lt;" + n + "&gt;</title>\n";
        doc += "    <price cur=\"EUR\">" + n + ".99</price>\n";
        doc += "    <blurb><![CDATA[<raw> " + n + "]]> tail</blurb>\n";
        doc += "    <empty/>\n  </book>\n";
    }
    doc += "</catalog>\n";
    return doc;
}

// A deep copy that shares views (each copy takes a reference), as the
// writer's snapshot does. Iterative, like everything that walks trees.
ElementRecord copy_tree(const ElementRecord& root) {
    ElementRecord result;
    std::vector<std::pair<const ElementRecord*, ElementRecord*>> pending{{&root, &result}};
    while (!pending.empty()) {
        auto [from, to] = pending.back();
        pending.pop_back();
        to->name = from->name;
        to->text = from->text;
        to->attrs = from->attrs;
        to->children.resize(from->children.size());
        for (size_t i = 0; i < from->children.size(); ++i) pending.emplace_back(&from->children[i], &to->children[i]);
    }
    return result;
}

// Views of one text, copied, moved and dropped by every thread in turn; the
// count must come back to the one reference the test holds.
void test_shared_views() {
    SourceRef source(SourceText::copy_of("0123456789abcdefghijklmnopqrstuvwxyz"));
    const int failures = run_threads([&](int t) {
        std::vector<NodeString> kept;
        bool ok = true;
        for (int round = 0; round < 20000; ++round) {
            const uint64_t begin = static_cast<uint64_t>((round + t) % 30);
            NodeString view = NodeString::view(source.get(), begin, begin + 5);
            NodeString copy = view;
            NodeString moved = std::move(view);
            ok = ok && copy == moved && copy.bytes() == source->bytes().substr(begin, 5);
            if (round % 7 == 0) kept.push_back(std::move(copy));
            if (kept.size() > 64) kept.erase(kept.begin(), kept.begin() + 32);
        }
        return ok;
    });
    check(failures == 0, "views compare equal to the bytes they cover");
    check(source->reference_count() == 1, "every view's reference is given back");
}

std::atomic<int> owner_releases{0};
std::atomic<void*> released_owner{nullptr};

void count_owner_release(void* owner) {
    owner_releases.fetch_add(1);
    released_owner.store(owner);
}

// A Python-backed text whose last views are dropped by racing threads: the
// owner hook runs once, with the text's owner, whoever comes last.
void test_owner_released_once() {
    SourceText::set_owner_release(&count_owner_release);
    static const char kBytes[] = "<a>shared owner</a>";
    int wrong = 0;
    for (int round = 0; round < 500; ++round) {
        owner_releases.store(0);
        released_owner.store(nullptr);
        int owner_tag = round;  // any distinct address stands in for the str
        SourceText* text = SourceText::python_backed(&owner_tag, kBytes, sizeof kBytes - 1);
        std::vector<NodeString> views;
        for (int t = 0; t < kThreads; ++t) views.push_back(NodeString::view(text, 3, 15));
        text->release();  // the creator's reference goes first; the views keep it alive
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                NodeString mine = std::move(views[static_cast<size_t>(t)]);
                ready.fetch_add(1);
                while (ready.load() < kThreads) std::this_thread::yield();
                // All threads drop their reference at the same moment.
            });
        }
        for (std::thread& thread : threads) thread.join();
        if (owner_releases.load() != 1 || released_owner.load() != &owner_tag) ++wrong;
    }
    SourceText::set_owner_release(nullptr);
    check(wrong == 0, "the owner of a shared text is released exactly once (" + std::to_string(wrong) + " bad rounds)");
}

// All threads parse the same SourceText at once, successfully and not; each
// tree must equal the single-thread one.
void test_parse_one_document() {
    const std::string doc = sample_document(200);
    SourceRef source(SourceText::copy_of(doc));
    {
        auto reference = build_tree(source.get(), "catalog");
        check(reference.ok(), "the sample parses");
        if (!reference.ok()) return;
        const ElementRecord nested_reference = std::move(reference.value()).nested();
        const int failures = run_threads([&](int) {
            bool ok = true;
            for (int round = 0; round < 10; ++round) {
                auto tree = build_tree(source.get(), "catalog");
                ok = ok && tree.ok() && same_tree(std::move(tree.value()).nested(), nested_reference);
                auto failing = build_tree(source.get(), "missing");
                ok = ok && !failing.ok() && failing.error().display() == "root tag <missing> not found in document";
            }
            return ok;
        });
        check(failures == 0, "concurrent parses of one text give the single-thread tree");
        check(*nested_reference.children[9].attrs.find("note") == "a&b c", "the sample's values are decoded");
    }
    check(source->reference_count() == 1, "no parse keeps a reference to the text");
}

// One parsed tree, shared read-only: every thread copies it (sharing views,
// copying attribute maps slot for slot) and writes the copy to memory and to
// a file of its own while the others do the same.
void test_write_shared_tree() {
    const std::string doc = sample_document(100);
    SourceRef source(SourceText::copy_of(doc));
    {
        auto parsed = build_tree(source.get(), "catalog");
        check(parsed.ok(), "the sample parses for writing");
        if (!parsed.ok()) return;
        const ElementRecord shared = std::move(parsed.value()).nested();
        const std::string expected = write_xml_string(copy_tree(shared), 4, true);
        const int failures = run_threads([&](int t) {
            bool ok = true;
            for (int round = 0; round < 20; ++round) {
                ok = ok && write_xml_string(copy_tree(shared), 4, true) == expected;
            }
            const std::string path = "/tmp/brindxml-stress-" + std::to_string(getpid()) + "-" + std::to_string(t) + ".xml";
            for (int round = 0; round < 5; ++round) {
                if (write_xml_file(path, copy_tree(shared), 4, true)) return false;
                std::ifstream in(path, std::ios::binary);
                const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                ok = ok && written == expected;
            }
            std::remove(path.c_str());
            return ok;
        });
        check(failures == 0, "concurrent writes of copies of one tree give the single-thread output");
    }
    check(source->reference_count() == 1, "written copies give back their references");
}

// The attribute tables of one parse share blocks. Every thread frees its
// share of them (interleaved, so that neighbours in a block go on different
// threads at once) while another parse fills blocks: each block must be freed
// exactly once, by whichever thread frees its last table.
void test_tables_freed_everywhere() {
    const std::string doc = sample_document(400);
    SourceRef source(SourceText::copy_of(doc));
    for (int round = 0; round < 20; ++round) {
        auto parsed = build_tree(source.get(), "catalog");
        check(parsed.ok(), "the sample parses for the table round");
        if (!parsed.ok()) return;
        RecordTree& tree = parsed.value();
        const int failures = run_threads([&](int t) {
            if (t == 0) return build_tree(source.get(), "catalog").ok();
            bool ok = true;
            for (size_t i = static_cast<size_t>(t); i < tree.size(); i += kThreads - 1) {
                ok = ok && (tree[i].attrs.empty() || tree[i].attrs.find("id") || tree[i].attrs.find("cur"));
                tree[i].attrs = AttrMap();
            }
            return ok;
        });
        check(failures == 0, "tables freed on every thread at once");
    }
    check(source->reference_count() == 1, "freed tables give back their views' references");
}

}  // namespace

int main() {
    test_shared_views();
    test_owner_released_once();
    test_parse_one_document();
    test_write_shared_tree();
    test_tables_freed_everywhere();
    return report();
}
