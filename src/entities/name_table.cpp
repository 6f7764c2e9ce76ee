#include "entities/name_table.hpp"

#include <new>
#include <utility>

#include "binding/entry.hpp"

namespace brindxml {

namespace {

// Holds the table's lock for its lifetime. Nothing run under it calls into
// Python code or can start a collection (which could run Python code that
// reads a name of the same document and wait for the lock forever).
class TableLock {
public:
    explicit TableLock(PyMutex& mutex) noexcept : mutex_(mutex) { PyMutex_Lock(&mutex_); }
    ~TableLock() { PyMutex_Unlock(&mutex_); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

private:
    PyMutex& mutex_;
};

}  // namespace

// The release hook of every SourceText attachment. The text may die on a
// thread without a thread state (a writer's snapshot dropped detached), so
// the strs go through release_or_defer; the slots are plain memory.
void release_name_table(void* attached) noexcept {
    NameTable* table = static_cast<NameTable*>(attached);
    if (PyObject* strs = std::exchange(table->strs_, nullptr)) release_or_defer(strs);
    delete table;
}

NameTable::~NameTable() {
    delete slots_.load(std::memory_order_relaxed);
    for (Slots* old : retired_) delete old;
    Py_XDECREF(strs_);  // set only when attach_to drops a table it made, attached
}

NameTable::Slots* NameTable::new_slots(size_t capacity) noexcept {
    std::unique_ptr<Slots> slots(new (std::nothrow) Slots());
    if (!slots) return nullptr;
    slots->slot.reset(new (std::nothrow) Slot[capacity]);
    if (!slots->slot) return nullptr;
    slots->mask = capacity - 1;
    return slots.release();
}

NameTable* NameTable::attach_to(SourceText* source) noexcept {
    NameTable* table = new (std::nothrow) NameTable();
    if (!table) return nullptr;
    table->strs_ = PyList_New(0);
    // Small at first: most documents have few names.
    Slots* slots = table->strs_ ? new_slots(16) : nullptr;
    table->slots_.store(slots, std::memory_order_relaxed);
    if (!slots) {
        PyErr_Clear();  // the table only saves work: names are read without it
        delete table;
        return nullptr;
    }
    SourceText::set_attachment_release(&release_name_table);
    if (source->attach(table)) return table;
    // Another thread attached one first; a published table stays.
    delete table;
    return static_cast<NameTable*>(source->attachment());
}

// Called with the lock held: the entries move to an array twice as large,
// published whole; the old one stays readable.
bool NameTable::grow() noexcept {
    Slots* old = slots_.load(std::memory_order_relaxed);
    Slots* slots = new_slots((old->mask + 1) * 2);
    if (!slots) return false;
    try {
        retired_.push_back(old);
    } catch (...) {
        delete slots;
        return false;
    }
    for (size_t from = 0; from <= old->mask; ++from) {
        const Slot& entry = old->slot[from];
        PyObject* str = entry.str.load(std::memory_order_relaxed);
        if (!str) continue;
        // A name whose run would pass the probe limit is left out; it is
        // read as a new str from then on.
        for (size_t i = entry.hash & slots->mask, probes = 0; probes < kMaxProbes;
             ++probes, i = (i + 1) & slots->mask) {
            Slot& slot = slots->slot[i];
            if (slot.str.load(std::memory_order_relaxed)) continue;
            slot.hash = entry.hash;
            slot.data = entry.data;
            slot.size = entry.size;
            slot.str.store(str, std::memory_order_relaxed);
            break;
        }
    }
    slots_.store(slots, std::memory_order_release);
    return true;
}

PyObject* NameTable::insert(const NodeString& name, uint64_t hash) noexcept {
    if (full_.load(std::memory_order_relaxed)) return to_py_str(name);
    // Made before the lock is taken: making a str may run a collection.
    PyRef made = PyRef::steal(to_py_str(name));
    if (!made) return nullptr;
    PyRef result;
    {
        TableLock lock(lock_);
        const std::string_view bytes = name.bytes();
        Slots* slots = slots_.load(std::memory_order_relaxed);
        Slot* free_slot = nullptr;
        for (size_t i = hash & slots->mask, probes = 0; probes < kMaxProbes; ++probes, i = (i + 1) & slots->mask) {
            Slot& slot = slots->slot[i];
            PyObject* str = slot.str.load(std::memory_order_relaxed);
            if (!str) {
                free_slot = &slot;
                break;
            }
            // Another thread put the name in since this one looked.
            if (slot.hash == hash && slot.size == bytes.size() && same_name(slot.data, bytes.data(), bytes.size())) {
                result = PyRef::borrow(str);
                break;
            }
        }
        if (!result && free_slot && count_ < kMaxNames) {
            // The list grows with PyMem_Realloc only: no collection starts.
            if (PyList_Append(strs_, made.get()) < 0) {
                PyErr_Clear();
                full_.store(true, std::memory_order_relaxed);
            } else {
                free_slot->hash = hash;
                free_slot->data = bytes.data();
                free_slot->size = bytes.size();
                free_slot->str.store(made.get(), std::memory_order_release);
                // Half full at most, so that a miss ends at an empty slot soon.
                if (++count_ == kMaxNames || (count_ * 2 > slots->mask + 1 && !grow()))
                    full_.store(true, std::memory_order_relaxed);
            }
        }
    }
    return result ? result.release() : made.release();
}

}  // namespace brindxml
