#include "lookups.hpp"

namespace veltra::seam {

namespace {

Numpy numpy_api{};
bool numpy_ready = false;
PyObject* mapping_class = nullptr;

// A new reference to module.name, or null with the error set.
PyObject* take_attr(PyObject* module, const char* name) { return PyObject_GetAttrString(module, name); }

}  // namespace

Fallible<const Numpy*> numpy() {
    if (numpy_ready) return &numpy_api;
    PyRef module = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!module) return raised();
    PyRef ndarray = PyRef::steal(take_attr(module.get(), "ndarray"));
    PyRef bool_ = PyRef::steal(take_attr(module.get(), "bool_"));
    PyRef integer = PyRef::steal(take_attr(module.get(), "integer"));
    PyRef floating = PyRef::steal(take_attr(module.get(), "floating"));
    PyRef frombuffer = PyRef::steal(take_attr(module.get(), "frombuffer"));
    PyRef empty = PyRef::steal(take_attr(module.get(), "empty"));
    if (!ndarray || !bool_ || !integer || !floating || !frombuffer || !empty)
        return raised();
    PyRef float64 = call_method(module.get(), "dtype", str_of("float64").get());
    if (!float64) return raised();
    for (PyObject* type : {ndarray.get(), bool_.get(), integer.get(), floating.get()}) {
        if (!PyType_Check(type)) {
            PyErr_SetString(PyExc_ImportError, "numpy does not provide the array and scalar types");
            return raised();
        }
    }
    // Another thread may have finished first while Python code ran above.
    if (numpy_ready) return &numpy_api;
    numpy_api = Numpy{ndarray.release(), bool_.release(), integer.release(), floating.release(),
                      float64.release(),  frombuffer.release(), empty.release()};
    numpy_ready = true;
    return &numpy_api;
}

Fallible<PyObject*> mapping_abc() {
    PyObject* mapping = made_once(mapping_class, [] {
        PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
        return module ? attr(module.get(), "Mapping").release() : nullptr;
    });
    if (mapping == nullptr) return raised();
    return mapping;
}

}  // namespace veltra::seam
