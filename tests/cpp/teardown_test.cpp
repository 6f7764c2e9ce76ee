// Dropping a tree of element records allocates nothing: it runs in
// destructors, while a failed allocation unwinds among other times, so it
// must not need memory. Trees of several shapes, a million levels deep
// among them, are built, then dropped with every allocation failing; each
// must be freed entirely (every view's reference returned).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

#include "read/tree_builder.hpp"
#include "storage/source_text.hpp"

#include "check.hpp"

using namespace brindxml;

namespace {

bool allocations_fail = false;
long failed_allocations = 0;

void* allocate(std::size_t size) {
    if (allocations_fail) {
        ++failed_allocations;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::string repeat(const std::string& part, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += part;
    return out;
}

// <r> holding `width` chains of `depth` levels each, every element with a
// text and an attribute (views into the document).
std::string forest(int width, int depth) {
    const std::string chain = repeat("<n a='v'>t", depth) + repeat("</n>", depth);
    return "<r>" + repeat(chain, width) + "</r>";
}

struct Shape {
    const char* what;
    std::string xml;
};

// Both forms of a record tree: the reader's flat one and the nested one.
template <class Tree>
void drop_without_memory(const Shape& shape, Tree (*form)(RecordTree&&)) {
    SourceRef source(SourceText::copy_of(shape.xml));
    auto result = build_tree(source.get(), "r");
    check(result.ok(), cat(shape.what, ": parses"));
    if (!result.ok()) return;
    Tree tree = form(std::move(result.value()));
    const int64_t held = source->reference_count();
    check(held > 1, cat(shape.what, ": the tree holds views"));
    failed_allocations = 0;
    allocations_fail = true;
    { Tree dropped = std::move(tree); }
    allocations_fail = false;
    check(failed_allocations == 0, cat(shape.what, ": dropped without asking for memory"));
    check(source->reference_count() == 1, cat(shape.what, ": every view's reference returned"));
}

// Records added one by one past every reservation move from malloc to a
// mapped block and on to larger ones; each keeps its view and its place.
void grown_records_keep_their_views() {
    SourceRef source(SourceText::copy_of("abcdefghij"));
    {
        RecordTree tree;
        for (uint64_t i = 0; i < 20000; ++i) {
            FlatRecord& record = tree.add();
            record.name = NodeString::view(source.get(), i % 10, i % 10 + 1);
            record.child_count = i;
        }
        bool kept = tree.size() == 20000;
        for (size_t i = 0; i < tree.size(); ++i)
            kept = kept && tree[i].child_count == i && tree[i].name.bytes() == std::string(1, char('a' + i % 10));
        check(kept, "20,000 records added one by one keep their order and views");
        check(source->reference_count() == 20001, "each record holds one reference");
        tree.remove_last();
        check(tree.size() == 19999 && source->reference_count() == 20000, "removing the last returns its view");
    }
    check(source->reference_count() == 1, "dropping the grown records returns every reference");
}

}  // namespace

int main() {
    const Shape shapes[] = {
        {"one element", "<r/>"},
        {"flat, 10,000 children", forest(10000, 1)},
        {"a chain of 1,000,000 levels", "<r>" + repeat("<n>", 1000000) + "x" + repeat("</n>", 1000000) + "</r>"},
        {"100 chains of 1,000 levels", forest(100, 1000)},
        {"1,000 chains of 3 levels", forest(1000, 3)},
        {"a comb: each level a leaf and a deeper level",
         "<r>" + repeat("<n a='1'><leaf b='2'>x</leaf><n>", 20000) + repeat("</n></n>", 20000) + "</r>"},
    };
    for (const Shape& shape : shapes) {
        drop_without_memory<RecordTree>(shape, [](RecordTree&& tree) { return std::move(tree); });
        drop_without_memory<ElementRecord>(shape, [](RecordTree&& tree) { return std::move(tree).nested(); });
    }
    grown_records_keep_their_views();
    return report();
}
