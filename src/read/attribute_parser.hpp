// Parses the attributes of one start tag into the element's AttrMap.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "read/read_error.hpp"
#include "storage/attr_map.hpp"
#include "storage/node_string.hpp"
#include "read/view_maker.hpp"

namespace brindxml {

// Attributes of the tag being parsed, held until the tag is complete so the
// map is sized once; reused from tag to tag within one parse.
class AttributeScratch {
public:
    struct Attribute {
        uint64_t name_begin;
        uint64_t name_end;
        NodeString value;
    };
    std::vector<Attribute> attributes;
};

// Parses the attribute region [begin, end) of the document (the bytes after
// the element name, up to the `>` or `/>`) into `attrs`, which is empty and
// carries the parse's hash keys.
std::optional<ReadError> parse_attributes(ViewMaker& views, uint64_t begin, uint64_t end, AttrMap& attrs,
                                          AttributeScratch& scratch);

}  // namespace brindxml
