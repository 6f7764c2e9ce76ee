// The method table of Node, in registration order.
#include "entities/node_methods.hpp"

#include "entities/node_pickle.hpp"
#include "entities/node_type_members.hpp"

namespace brindxml {

namespace {

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"__to_string", as_cfunction(&node_to_string), kFastcallKeywords, "__to_string($self, spacing=None)\n--\n\n"},
    {"search_by_name", as_cfunction(&node_search_by_name), kFastcallKeywords,
     "search_by_name($self, name, depth=None)\n--\n\n"},
    {"search_by_attr", as_cfunction(&node_search_by_attr), kFastcallKeywords,
     "search_by_attr($self, key, depth=None)\n--\n\n"},
    {"search_by_text", as_cfunction(&node_search_by_text), kFastcallKeywords,
     "search_by_text($self, text, depth=None)\n--\n\n"},
    {"search", as_cfunction(&node_search), kFastcallKeywords, "search($self, by, value, depth=None)\n--\n\n"},
    {"from_dict", as_cfunction(&node_from_dict), kFastcallKeywords | METH_CLASS, "from_dict($cls, dict_)\n--\n\n"},
    {"to_dict", as_cfunction(&node_to_dict), METH_NOARGS, "to_dict($self)\n--\n\n"},
    {"__copy__", as_cfunction(&node_copy), METH_NOARGS,
     "__copy__($self)\n--\n\nThe node itself: a node never changes."},
    {"__deepcopy__", as_cfunction(&node_deepcopy), METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nThe node itself: a node never changes."},
    {"__reduce__", as_cfunction(&node_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nThe flat pickled form of the tree."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* node_methods() { return methods; }

}  // namespace brindxml
