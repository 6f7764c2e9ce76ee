// A node's attributes: attribute name to value, unique names, table order.
#pragma once

#include "base/keyed_map.hpp"
#include "storage/node_string.hpp"

namespace brindxml {

using AttrMap = KeyedMap<NodeString, NodeString>;

}  // namespace brindxml
