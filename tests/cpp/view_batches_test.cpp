// Bulk reference counting of views: every reference a batch takes or returns
// must match what one update per view would have done, across runs of
// different texts, owned strings and attribute maps.
#include <string>
#include <utility>
#include <vector>

#include "storage/attr_map.hpp"
#include "storage/node_string.hpp"
#include "storage/source_text.hpp"
#include "storage/view_batches.hpp"

#include "check.hpp"

using namespace brindxml;

namespace {

int64_t count(SourceText* text) { return text->reference_count(); }

}  // namespace

int main() {
    SourceText* a = SourceText::copy_of("alpha beta gamma");
    SourceText* b = SourceText::copy_of("one two three");

    {
        // Dropping interleaved views of three texts returns each reference
        // once; two runs are counted at a time, so a third text returns one.
        SourceText* t = SourceText::copy_of("third");
        std::vector<NodeString> strings;
        for (int i = 0; i < 5; ++i) {
            strings.push_back(NodeString::view(a, 0, 5));
            strings.push_back(NodeString::view(b, 4, 7));
            strings.push_back(NodeString::owned_copy("owned"));
            if (i % 2) strings.push_back(NodeString::view(t, 0, 5));
        }
        strings.push_back(NodeString::view(a, 6, 10));
        strings.push_back(NodeString::view(a, 11, 16));
        check(count(a) == 8 && count(b) == 6 && count(t) == 3, "views taken one by one");
        {
            ViewReleaseBatch batch;
            for (NodeString& s : strings) batch.drop(s);
            bool emptied = true;
            for (const NodeString& s : strings) emptied = emptied && s.empty() && !s.is_view();
            check(emptied, "dropped strings are empty");
            check(count(a) + count(b) + count(t) < 17, "runs of one text are returned before the batch ends");
        }
        check(count(a) == 1 && count(b) == 1 && count(t) == 1, "every reference returned once the batch is done");
        t->release();
    }

    {
        // A shared copy of names, texts and maps: counts go up by one per copied view.
        AttrMap attrs(HashKeys{3, 4});
        attrs.insert_new(NodeString::view(a, 0, 5), NodeString::view(a, 6, 10));
        attrs.insert_new(NodeString::owned_copy("k"), NodeString::view(b, 0, 3));
        attrs.insert_new(NodeString::view(b, 4, 7), NodeString::owned_copy(""));
        OptionalNodeString text = NodeString::view(a, 11, 16);
        OptionalNodeString absent;
        check(count(a) == 4 && count(b) == 3, "originals hold their references");

        AttrMap copy;
        OptionalNodeString text_copy, absent_copy;
        {
            ViewShareBatch batch;
            copy = batch.copy(attrs);
            text_copy = batch.copy(text);
            absent_copy = batch.copy(absent);
        }
        check(count(a) == 7 && count(b) == 5, "one reference per copied view");
        std::vector<std::pair<std::string, std::string>> original_order, copy_order;
        attrs.for_each([&](const NodeString& k, const NodeString& v) {
            original_order.emplace_back(k.bytes(), v.bytes());
        });
        copy.for_each([&](const NodeString& k, const NodeString& v) {
            copy_order.emplace_back(k.bytes(), v.bytes());
        });
        check(original_order == copy_order, "the copy enumerates like the original");
        check(copy.keys().k0 == 3 && copy.keys().k1 == 4, "the copy keeps the key pair");
        check(copy.find("k") && copy.find("k")->bytes() == "one", "lookups work in the copy");
        check(text_copy && text_copy->bytes() == "gamma" && text_copy->is_view(), "text copied as a view");
        check(!absent_copy, "an absent text stays absent");

        {
            ViewReleaseBatch batch;
            batch.drop(copy);
            batch.drop(text_copy);
        }
        check(count(a) == 4 && count(b) == 3, "dropping the copies gives their references back");
    }
    check(count(a) == 1 && count(b) == 1, "originals released");

    {
        // The last reference leaves through a batch: the text is destroyed then
        // (AddressSanitizer and valgrind would report a leak or a bad access).
        SourceText* c = SourceText::copy_of("short lived");
        NodeString view = NodeString::view(c, 0, 5);
        c->release();
        ViewReleaseBatch batch;
        batch.drop(view);
    }

    {
        // A tally only counts: every text stays alive, even the ones whose
        // last reference it holds, until return_all; texts beyond the first
        // few are counted as well as the first.
        std::vector<SourceText*> texts;
        std::vector<NodeString> views;
        for (int t = 0; t < 40; ++t) {
            texts.push_back(SourceText::copy_of("text " + std::to_string(t)));
            for (int v = 0; v < 3; ++v) views.push_back(NodeString::view(texts.back(), 0, 4));
        }
        views.push_back(NodeString::view(texts[0], 5, 6));  // back to the first text
        for (SourceText* text : texts) text->retain();      // kept by the test while it looks
        for (SourceText* text : texts) text->release_many(1);  // the creation references
        ViewReferenceTally tally;
        for (NodeString& view : views) tally.drop(view);
        bool all_held = true;
        for (size_t t = 0; t < texts.size(); ++t)
            all_held = all_held && count(texts[t]) == 1 + 3 + (t == 0 ? 1 : 0);
        check(all_held, "a tally returns nothing before return_all");
        tally.return_all();
        bool all_returned = true;
        for (SourceText* text : texts) all_returned = all_returned && count(text) == 1;
        check(all_returned, "return_all gives back every counted reference");
        for (SourceText* text : texts) text->release();
    }

    {
        // Views at the edges of the two-word form: long views and views far
        // into a text keep their bytes, text and references like short ones.
        // The text is never read here, so it can claim to be 2 TiB long.
        const char* base = reinterpret_cast<const char*>(uintptr_t{1} << 20);
        SourceText* big = SourceText::python_backed(nullptr, base, uint64_t{1} << 41);
        const uint64_t edges[][2] = {{0, 0}, {7, (uint64_t{1} << 24) - 1}, {7, uint64_t{1} << 24},
                                     {(uint64_t{1} << 40) - 1, 3}, {uint64_t{1} << 40, 3}, {3, uint64_t{1} << 33}};
        for (const auto& [begin, size] : edges) {
            std::vector<NodeString> views;
            views.push_back(NodeString::view(big, begin, begin + size));
            views.push_back(views[0]);
            {
                ViewShareBatch share;
                views.push_back(share.copy(views[0]));
            }
            NodeString moved = std::move(views[1]);
            views[1] = std::move(moved);
            bool same = count(big) == 4;
            for (const NodeString& v : views)
                same = same && v.is_view() && v.source() == big && v.data() == base + begin && v.size() == size;
            ViewReleaseBatch batch;
            for (NodeString& v : views) batch.drop(v);
            batch.flush();
            check(same && count(big) == 1, cat("view at ", std::to_string(begin), " of ", std::to_string(size), " bytes"));
        }
        big->release();
    }

    a->release();
    b->release();
    return report();
}
