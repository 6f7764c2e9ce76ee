// The four fields of an element as a plain value, with no interpreter object:
// what the reader builds and a tree the core writer can serialise.
#pragma once

#include <vector>

#include "storage/attr_map.hpp"
#include "storage/node_string.hpp"

namespace brindxml {

struct ElementRecord {
    NodeString name;
    OptionalNodeString text;
    std::vector<ElementRecord> children;
    AttrMap attrs;

    ElementRecord() = default;
    ElementRecord(ElementRecord&&) noexcept = default;
    ElementRecord& operator=(ElementRecord&& other) noexcept;
    ElementRecord(const ElementRecord&) = delete;
    ElementRecord& operator=(const ElementRecord&) = delete;
    // Frees the subtree with a work list, so a million nested levels do not
    // recurse a million times.
    ~ElementRecord();
};

}  // namespace brindxml
