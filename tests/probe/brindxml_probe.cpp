// A test-only extension module, built by the test suite (tests/conftest.py) from
// this file and every source of brindxml but the module definition. It reaches
// what Python code cannot: it steps a DictCursor with Python code run between
// two steps, calls a callable with a keyword dict its caller keeps sharing,
// and makes the n-th allocation of its own copy of brindxml fail (or every
// allocation from the n-th on).
//
// The allocation functions below replace operator new, delete and malloc
// for this module's code only (exports.map keeps every symbol but PyInit
// local), and pass every call on to the process's own, found with dlsym, so
// that a preloaded sanitizer's stay in charge.
#include <Python.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "binding/conversions.hpp"
#include "binding/entry.hpp"
#include "binding/py_ref.hpp"
#include "entities/node_object.hpp"
#include "module/module_functions.hpp"

namespace {

std::atomic<long> allocations_until_failure{0};

using NewFunction = void* (*)(std::size_t);
using DeleteFunction = void (*)(void*);

// The process's own function: a preloaded sanitizer's, else the C++
// library's (this module's own are local, so dlsym does not find them).
void* process_function(const char* name) { return dlsym(RTLD_DEFAULT, name); }
NewFunction process_new() {
    static NewFunction function = reinterpret_cast<NewFunction>(process_function("_Znwm"));
    return function;
}
DeleteFunction process_delete() {
    static DeleteFunction function = reinterpret_cast<DeleteFunction>(process_function("_ZdlPv"));
    return function;
}

using MallocFunction = void* (*)(std::size_t);
MallocFunction process_malloc() {
    static MallocFunction function = reinterpret_cast<MallocFunction>(process_function("malloc"));
    return function;
}

// Whether the allocation that fails makes every later one fail as well.
std::atomic<bool> failures_persist{false};
std::atomic<bool> failing{false};

// Counts one allocation down; true when this one is to fail.
bool allocation_fails() {
    if (failing.load(std::memory_order_relaxed)) return true;
    long left = allocations_until_failure.load(std::memory_order_relaxed);
    while (left > 0) {
        if (allocations_until_failure.compare_exchange_weak(left, left - 1)) {
            if (left != 1) return false;
            if (failures_persist.load(std::memory_order_relaxed)) failing.store(true, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

void* allocate(std::size_t size) {
    if (allocation_fails()) throw std::bad_alloc();
    return process_new()(size);
}

}  // namespace

// The module's own strings are malloc'ed: their allocations count as well.
extern "C" void* malloc(std::size_t size) noexcept { return allocation_fails() ? nullptr : process_malloc()(size); }

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { process_delete()(p); }
void operator delete[](void* p) noexcept { process_delete()(p); }
void operator delete(void* p, std::size_t) noexcept { process_delete()(p); }
void operator delete[](void* p, std::size_t) noexcept { process_delete()(p); }

namespace {

using brindxml::PyRef;

// fail_allocation(n, persist=False): the n-th allocation from now fails with
// bad_alloc (with persist, so does every one after it); 0 stops.
PyObject* fail_allocation(PyObject*, PyObject* args) {
    long n = 0;
    int persist = 0;
    if (!PyArg_ParseTuple(args, "l|p", &n, &persist)) return nullptr;
    failing.store(false, std::memory_order_relaxed);
    failures_persist.store(persist != 0, std::memory_order_relaxed);
    allocations_until_failure.store(n, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

// walk_dict(d, between, steps): takes `steps` steps of a DictCursor over d,
// calling between(i) after step i; returns the last step's (key, value).
PyObject* walk_dict(PyObject*, PyObject* args) {
    PyObject *dict, *between;
    int steps;
    if (!PyArg_ParseTuple(args, "O!Oi", &PyDict_Type, &dict, &between, &steps)) return nullptr;
    brindxml::EntryGuard guard;
    brindxml::DictCursor cursor(dict);
    PyRef key, value;
    for (int i = 1; i <= steps; ++i) {
        const int status = cursor.next(key, value);
        if (status < 0) return nullptr;
        if (status == 0) break;
        if (i == steps) break;
        PyRef result = PyRef::steal(PyObject_CallFunction(between, "i", i));
        if (!result) return nullptr;
    }
    if (!key) Py_RETURN_NONE;
    return PyTuple_Pack(2, key.get(), value.get());
}

// call(callable, args, kwargs): the callable called with that very dict.
PyObject* call(PyObject*, PyObject* args) {
    PyObject *callable, *positional, *keywords;
    if (!PyArg_ParseTuple(args, "OO!O!", &callable, &PyTuple_Type, &positional, &PyDict_Type, &keywords))
        return nullptr;
    return PyObject_Call(callable, positional, keywords);
}

PyMethodDef probe_functions[] = {
    {"fail_allocation", &fail_allocation, METH_VARARGS, nullptr},
    {"walk_dict", &walk_dict, METH_VARARGS, nullptr},
    {"call", &call, METH_VARARGS, nullptr},
    {"read_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&brindxml::read_string_function)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int probe_exec(PyObject* module) {
    brindxml::install_source_release_hook();
    auto* node = reinterpret_cast<PyObject*>(brindxml::node_type());
    if (!node) return -1;
    return PyModule_AddObjectRef(module, "Node", node);
}

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&probe_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef probe_module = {PyModuleDef_HEAD_INIT, "brindxml_probe", nullptr, 0,      probe_functions,
                            probe_slots,           nullptr,          nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_brindxml_probe() {
    return PyModuleDef_Init(&probe_module);
}
