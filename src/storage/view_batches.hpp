// Reference counting of views in bulk. Tearing down or copying a tree touches
// thousands of views of the same SourceText; one atomic update per run of
// views of one text, instead of one per view, keeps that cheap (and keeps
// threads working on separate documents off each other's toes).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "storage/attr_map.hpp"
#include "storage/node_string.hpp"
#include "storage/source_text.hpp"

namespace brindxml {

// The dropping side shared by the two classes below: empties strings, and
// hands the reference of each View to `Counter::note`.
template <class Counter>
class ViewDropper {
public:
    // Empties `s`; an Owned buffer is freed.
    void drop(NodeString& s) noexcept {
        if (SourceText* source = s.give_up()) static_cast<Counter*>(this)->note(source);
    }
    void drop(OptionalNodeString& s) noexcept {
        if (s) drop(*s);
    }
    // Empties every key and value; the table itself stays for its owner to free.
    void drop(AttrMap& attrs) noexcept {
        attrs.for_each_mut([this](NodeString& key, NodeString& value) {
            drop(key);
            drop(value);
        });
    }
};

// Collects the references of dropped views and returns them on flush (at the
// latest on destruction), and whenever a view of a third text comes along: a
// tree's views are mostly of its document and of the blocks of its decoded
// strings, taken in turn, so two runs are counted at once.
class ViewReleaseBatch : public ViewDropper<ViewReleaseBatch> {
public:
    ViewReleaseBatch() noexcept = default;
    ViewReleaseBatch(const ViewReleaseBatch&) = delete;
    ViewReleaseBatch& operator=(const ViewReleaseBatch&) = delete;
    ~ViewReleaseBatch() { flush(); }

    // Returning the references may free a text and so release its owner,
    // whose teardown may drop other views into this very batch: the batch
    // is emptied before, and what such a nested drop adds stays counted.
    void flush() noexcept {
        while (runs_[0].source || runs_[1].source) {
            const Run first = std::exchange(runs_[0], Run{});
            const Run second = std::exchange(runs_[1], Run{});
            if (first.source) first.source->release_many(first.count);
            if (second.source) second.source->release_many(second.count);
        }
    }

private:
    friend class ViewDropper<ViewReleaseBatch>;
    struct Run {
        SourceText* source = nullptr;
        int64_t count = 0;
    };

    void note(SourceText* source) noexcept {
        for (;;) {
            if (runs_[0].source == source) {
                ++runs_[0].count;
                latest_ = 0;
                return;
            }
            if (runs_[1].source == source) {
                ++runs_[1].count;
                latest_ = 1;
                return;
            }
            for (unsigned i = 0; i < 2; ++i) {
                if (!runs_[i].source) {
                    runs_[i] = Run{source, 1};
                    latest_ = i;
                    return;
                }
            }
            // A third text: the older run goes back (which may add to the
            // batch, so look again).
            const Run older = std::exchange(runs_[1 - latest_], Run{});
            older.source->release_many(older.count);
        }
    }

    Run runs_[2];
    unsigned latest_ = 0;  // the run a view was last counted in
};

// Counts the references of dropped views per text without returning them,
// for teardown done without the interpreter's thread state: returning the
// last reference to a text releases its owner, which may be a Python str.
// `return_all` (at the latest the destructor) gives them back; call it with
// the thread state held.
class ViewReferenceTally : public ViewDropper<ViewReferenceTally> {
public:
    ViewReferenceTally() noexcept = default;
    ViewReferenceTally(const ViewReferenceTally&) = delete;
    ViewReferenceTally& operator=(const ViewReferenceTally&) = delete;
    ~ViewReferenceTally() { return_all(); }

    void return_all() noexcept {
        std::vector<Count> counts = std::move(counts_);
        counts_.clear();
        last_ = 0;
        for (const Count& count : counts) count.source->release_many(count.references);
    }

private:
    friend class ViewDropper<ViewReferenceTally>;
    struct Count {
        SourceText* source;
        int64_t references;
    };

    void note(SourceText* source) noexcept {
        if (!counts_.empty() && counts_[last_].source == source) {
            ++counts_[last_].references;
            return;
        }
        for (size_t i = 0; i < counts_.size(); ++i) {
            if (counts_[i].source == source) {
                last_ = i;
                ++counts_[i].references;
                return;
            }
        }
        try {
            counts_.push_back(Count{source, 1});
            last_ = counts_.size() - 1;
        } catch (...) {
            // No memory for the count: return the reference now (a last
            // reference then takes the deferred path).
            source->release();
        }
    }

    std::vector<Count> counts_;  // usually a single text
    size_t last_ = 0;
};

// Copies strings, taking the references of copied views in bulk. The
// references are taken on flush (at the latest on destruction), so the batch
// must be flushed before any copy it made can be dropped: declare it after
// the containers that receive the copies.
class ViewShareBatch {
public:
    ViewShareBatch() noexcept = default;
    ViewShareBatch(const ViewShareBatch&) = delete;
    ViewShareBatch& operator=(const ViewShareBatch&) = delete;
    ~ViewShareBatch() { flush(); }

    NodeString copy(const NodeString& s) {
        SourceText* source = s.source();
        if (!source) return NodeString::owned_copy(s.bytes());
        if (source != source_) {
            flush();
            source_ = source;
        }
        NodeString copy = NodeString::same_view_adopting(s);
        ++count_;
        return copy;
    }
    OptionalNodeString copy(const OptionalNodeString& s) {
        if (!s) return std::nullopt;
        return copy(*s);
    }
    // A copy of `attrs` with every entry in the same slot.
    AttrMap copy(const AttrMap& attrs) {
        return attrs.copy_with([this](const NodeString& key, const NodeString& value) {
            return AttrMap::Entry{copy(key), copy(value)};
        });
    }
    void flush() noexcept {
        SourceText* const source = std::exchange(source_, nullptr);
        if (source) source->retain_many(std::exchange(count_, 0));
    }

private:
    SourceText* source_ = nullptr;
    int64_t count_ = 0;
};

}  // namespace brindxml
