// The extension module `_veltra`: multi-phase initialisation whose one
// execution step adds VeltraException, call and registry_json, each also
// listed in __all__. Nothing else runs at import.
#include <exception>
#include <new>

#include "call.hpp"
#include "exception.hpp"
#include "lookups.hpp"

namespace veltra::seam {

namespace {

const char call_doc[] =
    "call(name, arguments, make_result)\n--\n\n"
    "Run the public function `name`. `arguments` is a dict of its parameters\n"
    "by name; `make_result(type_name, fields)` builds each result object.\n"
    "Returns `(result, warnings)`, `warnings` a list of dicts that each hold\n"
    "`kind` and `message`.\n\n"
    "`call` turns a failure inside a function into an `internal` error;\n"
    "the guard here does the same for a failure in the conversion on either\n"
    "side of it.";

const char registry_json_doc[] =
    "registry_json()\n--\n\nThe function registry and the result types as JSON.";

PyMethodDef call_def = {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_entry)),
                        METH_FASTCALL | METH_KEYWORDS, call_doc};
PyMethodDef registry_json_def = {"registry_json", registry_json_entry, METH_NOARGS, registry_json_doc};

// Appends `name` to the module's __all__ (made if absent), then sets the
// attribute.
int add(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all = attr(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return -1;
    }
    if (PyList_Append(all.get(), name) < 0) return -1;
    return PyObject_SetAttr(module, name, value);
}

int add_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return -1;
    PyRef name = attr(function.get(), "__name__");
    if (!name) return -1;
    return add(module, name.get(), function.get());
}

int exec_module(PyObject* module) noexcept {
    try {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "the module's execution step needs a module object");
            return -1;
        }
        PyObject* type = exception_type();
        if (type == nullptr) return -1;
        PyRef name = str_of("VeltraException");
        if (!name || add(module, name.get(), type) < 0) return -1;
        if (add_function(module, &call_def) < 0) return -1;
        if (add_function(module, &registry_json_def) < 0) return -1;
        return 0;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "_veltra: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "_veltra: unknown failure during import");
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef veltra_ext = {
    PyModuleDef_HEAD_INIT, "_veltra", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace veltra::seam

PyMODINIT_FUNC PyInit__veltra(void) { return PyModuleDef_Init(&veltra::seam::veltra_ext); }
