// The method table of Node, in registration order.
#include "entities/node_type_members.hpp"

namespace brindxml {

namespace {

PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* node_methods() { return methods; }

}  // namespace brindxml
