// The keyed hash map: lookups in full small tables, growth, replacement, copies.
#include <cstdio>
#include <string>
#include <vector>

#include "storage/attr_map.hpp"
#include "base/keyed_map.hpp"
#include "base/table_blocks.hpp"

#include "check.hpp"

using namespace brindxml;

namespace {


using Map = KeyedMap<std::string, std::string>;

// Built with append: GCC 12 warns falsely (-Wrestrict) on "literal" + std::string.
std::string key(const char* prefix, int i) {
    std::string k(prefix);
    k.append(std::to_string(i));
    return k;
}

std::vector<std::string> order_of(const Map& m) {
    std::vector<std::string> keys;
    m.for_each([&](const std::string& k, const std::string&) { keys.push_back(k); });
    return keys;
}

}  // namespace

int main() {
    // Every size up to a few hundred: all keys found, absent keys not, even when
    // a small table is completely full (the probe must stop).
    for (int n = 0; n <= 300; ++n) {
        for (HashKeys keys : {HashKeys{0, 0}, HashKeys{1, 2}, HashKeys{~0ull, 12345}}) {
            Map m(keys);
            for (int i = 0; i < n; ++i) m.insert_new(key("k", i), std::to_string(i));
            bool all = m.size() == static_cast<uint64_t>(n);
            for (int i = 0; i < n; ++i) {
                const std::string* v = m.find(key("k", i));
                all = all && v && *v == std::to_string(i);
            }
            all = all && !m.find("absent") && !m.find("") && !m.contains(key("k", n));
            all = all && (n > 4 || m.capacity() <= 4) && m.capacity() >= static_cast<uint64_t>(n);
            check(all, key("size ", n));
        }
    }

    // Capacities: up to 8 entries are reserved exactly, larger tables are filled to 7/8.
    const std::pair<int, uint64_t> capacities[] = {{1, 1}, {2, 2}, {3, 3}, {5, 5}, {6, 6}, {8, 8}, {9, 16}, {14, 16}, {15, 32}};
    for (auto [n, expected] : capacities) {
        Map m = Map::with_new_keys(static_cast<uint64_t>(n));
        check(m.capacity() == expected, key("reserve ", n));
    }

    // Replacement keeps one entry and the last value.
    {
        Map m = Map::with_new_keys();
        check(m.insert_or_assign("a", "1"), "first insert is new");
        check(!m.insert_or_assign("a", "2"), "second insert replaces");
        check(m.size() == 1 && *m.find("a") == "2", "last value wins");
    }

    // A copy keeps the slot order and the keys; a map built anew may not.
    {
        Map m = Map::with_new_keys();
        for (int i = 0; i < 50; ++i) m.insert_new(key("key-", i), "v");
        Map copy(m);
        check(order_of(copy) == order_of(m), "copy enumerates in the same order");
        check(copy.keys().k0 == m.keys().k0 && copy.keys().k1 == m.keys().k1, "copy keeps the hash keys");
        Map moved(std::move(copy));
        check(order_of(moved) == order_of(m) && copy.empty(), "move keeps order and empties the source");
    }

    // Thread key pairs advance k0 by one per map.
    {
        HashKeys a = take_thread_hash_keys();
        HashKeys b = take_thread_hash_keys();
        check(b.k0 == a.k0 + 1 && b.k1 == a.k1, "k0 is incremented per map");
    }

    // Attribute maps with node strings (views and owned) look up by bytes.
    {
        SourceText* text = SourceText::copy_of("id=1 name=x");
        AttrMap attrs = AttrMap::with_new_keys(2);
        attrs.insert_new(NodeString::view(text, 0, 2), NodeString::view(text, 3, 4));
        attrs.insert_new(NodeString::owned_copy("name"), NodeString::owned_copy("x"));
        check(attrs.find("id") && *attrs.find("id") == "1", "view key found by bytes");
        check(attrs.find("name") && *attrs.find("name") == "x", "owned key found");
        check(text->reference_count() == 3, "views hold references");
        AttrMap copy = attrs;
        check(text->reference_count() == 5, "copying a map copies its views' references");
        text->release();
    }

    // Tables placed in shared blocks: small and large ones (the largest get an
    // allocation of their own), freed before and after the blocks are
    // finished, grown out of their block, moved and copied. Each map keeps
    // its entries; the sanitizers see each block freed once.
    for (int finish_first = 0; finish_first < 2; ++finish_first) {
        std::vector<Map> maps;
        {
            TableBlocks blocks;
            for (int i = 0; i < 3000; ++i) {
                Map m(HashKeys{1, static_cast<uint64_t>(i)});
                const int n = i % 7 == 6 ? 150 : i % 9;
                m.reserve_in(static_cast<uint64_t>(n), &blocks);
                for (int j = 0; j < n; ++j) m.insert_new(key("a", j), key("v", i));
                maps.push_back(std::move(m));
            }
            if (!finish_first)
                for (size_t i = 0; i < maps.size(); i += 2) maps[i] = Map();
        }
        bool kept = true;
        for (size_t i = 1; i < maps.size(); i += 2) {
            const int n = i % 7 == 6 ? 150 : static_cast<int>(i % 9);
            kept = kept && maps[i].size() == static_cast<uint64_t>(n) &&
                   (n == 0 || *maps[i].find(key("a", n - 1)) == key("v", static_cast<int>(i)));
        }
        check(kept, "maps in blocks keep their entries");
        Map copy(maps[5]);
        maps[5].insert_new("grown", "x");  // past its reserved room: out of its block
        check(copy.size() == 5 && maps[5].size() == 6 && *maps[5].find("a4") == "v5", "copies and growth of a map in a block");
        while (!maps.empty()) maps.pop_back();
    }

    return report();
}
