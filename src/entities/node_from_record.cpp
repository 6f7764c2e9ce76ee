#include "entities/node_from_record.hpp"

#include <utility>
#include <vector>

#include "binding/entry.hpp"
#include "entities/node_object.hpp"

namespace brindxml {

namespace {

// Nodes made and not yet given to their parent, the latest on top. Walking
// the records backwards, an element's children are the top `child_count`
// entries, its first child on top.
class BuiltNodes {
public:
    BuiltNodes() = default;
    BuiltNodes(const BuiltNodes&) = delete;
    BuiltNodes& operator=(const BuiltNodes&) = delete;
    ~BuiltNodes() { release_children(nodes_); }

    // Room for one more, so push() cannot fail; throws std::bad_alloc.
    void make_room() {
        if (nodes_.size() == nodes_.capacity()) nodes_.reserve(nodes_.capacity() * 2 + 64);
    }
    void push(PyObject* node) noexcept { nodes_.push_back(node); }
    // Moves the top `count` nodes, first child first, into `children`, whose
    // room for them is reserved.
    void move_top(size_t count, ChildArray& children) noexcept {
        for (size_t k = 0; k < count; ++k) children.push_back(nodes_[nodes_.size() - 1 - k]);
        nodes_.resize(nodes_.size() - count);
    }
    // The root's node (a tree from the reader is never empty).
    PyObject* take_only() noexcept {
        PyObject* node = nodes_.back();
        nodes_.clear();
        return node;
    }

private:
    std::vector<PyObject*> nodes_;
};

}  // namespace

PyObject* node_from_records(RecordTree&& tree) {
    RecordTree records = std::move(tree);
    return guarded([&]() -> PyObject* {
        BuiltNodes built;
        for (size_t i = records.size(); i-- > 0;) {
            FlatRecord& record = records[i];
            built.make_room();
            ChildArray children;
            const size_t count = static_cast<size_t>(record.child_count);
            if (count) {
                children.reserve(count);
                built.move_top(count, children);
            }
            NodeFields fields{std::move(record.name), std::move(record.text), std::move(children),
                              std::move(record.attrs)};
            records.pop_taken();
            PyObject* node = new_node_object(std::move(fields));
            if (!node) return nullptr;
            built.push(node);
        }
        return built.take_only();
    });
}

}  // namespace brindxml
