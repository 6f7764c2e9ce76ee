// Record trees for the core's test programs (and the round-trip fuzzer):
// building them tersely, and comparing two of them.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/attr_map.hpp"
#include "storage/element_record.hpp"
#include "storage/node_string.hpp"

namespace brindxml::test {

using Attr = std::pair<std::string_view, std::string_view>;

// An element of owned strings. Its map has fixed hashing keys, so a tree
// built twice enumerates its attributes alike.
inline ElementRecord element(std::string_view name, std::optional<std::string_view> text = std::nullopt,
                             std::initializer_list<Attr> attrs = {}) {
    ElementRecord e;
    e.name = NodeString::owned_copy(name);
    if (text) e.text = NodeString::owned_copy(*text);
    e.attrs = AttrMap(HashKeys{1, 2});
    e.attrs.reserve(attrs.size());
    for (const Attr& a : attrs) e.attrs.insert_new(NodeString::owned_copy(a.first), NodeString::owned_copy(a.second));
    return e;
}

template <class... Children>
ElementRecord with(ElementRecord parent, Children&&... children) {
    (parent.children.push_back(std::forward<Children>(children)), ...);
    return parent;
}

inline bool same_attrs(const AttrMap& a, const AttrMap& b) {
    if (a.size() != b.size()) return false;
    bool same = true;
    a.for_each([&](const NodeString& key, const NodeString& value) {
        const NodeString* other = b.find(key.bytes());
        same = same && other && *other == value;
    });
    return same;
}

// Names, texts, attributes as sets and children in order; any depth.
inline bool same_tree(const ElementRecord& a, const ElementRecord& b) {
    std::vector<std::pair<const ElementRecord*, const ElementRecord*>> pending{{&a, &b}};
    while (!pending.empty()) {
        auto [x, y] = pending.back();
        pending.pop_back();
        if (!(x->name == y->name) || x->text.has_value() != y->text.has_value()) return false;
        if (x->text && !(*x->text == *y->text)) return false;
        if (!same_attrs(x->attrs, y->attrs) || x->children.size() != y->children.size()) return false;
        for (size_t i = 0; i < x->children.size(); ++i) pending.emplace_back(&x->children[i], &y->children[i]);
    }
    return true;
}

}  // namespace brindxml::test
