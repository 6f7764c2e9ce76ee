// The module definition: multi-phase initialisation, and the exec slot that
// adds SearchType, Node and the four functions, in that order, to __all__.
#include <Python.h>

#include "binding/entry.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "entities/node_object.hpp"
#include "entities/node_pickle.hpp"
#include "entities/search_type.hpp"
#include "module/hash_seed.hpp"
#include "module/module_functions.hpp"

#ifndef BRINDXML_VERSION
#error "BRINDXML_VERSION (the package version) comes from the build: see CMakeLists.txt"
#endif

namespace brindxml {

namespace {

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef function_defs[] = {
    {"read_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&read_file_function)),
     kFastcallKeywords, "read_file(file_path, root_tag)\n--\n\n"},
    {"read_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&read_string_function)),
     kFastcallKeywords, "read_string(xml_string, root_tag)\n--\n\n"},
    {"write_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&write_file_function)),
     kFastcallKeywords, "write_file(node, file_path, indent=None, default_xml_def=None)\n--\n\n"},
    {"write_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&write_string_function)),
     kFastcallKeywords, "write_string(node, indent=None, default_xml_def=None)\n--\n\n"},
};

PyMethodDef table_loader_def = {
    kTableLoaderName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&node_from_table_function)),
    kFastcallKeywords, "_node_from_table(strings, table)\n--\n\nRebuilds a node from its pickled form.",
};

// Appends `name` to the module's __all__ (creating it if needed) and sets the attribute.
bool add_member(PyObject* module, const char* name, PyObject* member) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        return raise_type_mismatch(all.get(), "list");
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, member) == 0;
}

int module_exec(PyObject* module) {
    // The types, the cached strings and the deferred release queue are
    // process-wide and belong to the main interpreter. An interpreter that
    // shares the main one's settings (a "legacy" one) would import the module
    // despite the slot below, and share them: it is refused here.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "brindxml can only be imported in the main interpreter, not in a subinterpreter");
        return -1;
    }
    EntryGuard guard;
    if (!PyModule_Check(module)) return raise_type_mismatch(module, "module"), -1;
    install_source_release_hook();

    auto* search_type = reinterpret_cast<PyObject*>(search_type_type());
    if (!search_type || !add_member(module, "SearchType", search_type)) return -1;
    auto* node = reinterpret_cast<PyObject*>(node_type());
    if (!node || !add_member(module, "Node", node)) return -1;

    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& def : function_defs) {
        PyRef function = PyRef::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function) return -1;
        PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
        const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
        if (!text || !add_member(module, text, function.get())) return -1;
    }
    // Loads pickled nodes; a module attribute outside __all__.
    PyRef loader = PyRef::steal(PyCMethod_New(&table_loader_def, module, module_name.get(), nullptr));
    if (!loader || PyModule_AddObjectRef(module, kTableLoaderName, loader.get()) < 0) return -1;
    // The package version, outside __all__.
    if (PyModule_AddStringConstant(module, "__version__", BRINDXML_VERSION) < 0) return -1;
    // Also outside __all__: reachable under its own name, so that an
    // instance pickles (a process pool sends its workers' errors that way).
    PyObject* panic = panic_exception_type();
    if (!panic || PyModule_AddObjectRef(module, "PanicException", panic) < 0) return -1;
    return apply_hash_seed_setting() ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "brindxml",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace brindxml

PyMODINIT_FUNC PyInit_brindxml() {
    return PyModuleDef_Init(&brindxml::module_def);
}
