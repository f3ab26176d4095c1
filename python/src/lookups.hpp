// Python objects the seam looks up once per process and keeps until the
// process ends: NumPy's array type, scalar classes and array constructors,
// and the abstract Mapping class. A failed lookup is not remembered, so
// the next use tries again and raises the same import error.
#pragma once

#include "pyref.hpp"

namespace veltra::seam {

struct Numpy {
    PyObject* ndarray;
    PyObject* bool_;
    PyObject* integer;
    PyObject* floating;
    PyObject* float64;  // the float64 dtype object
    PyObject* frombuffer;
    PyObject* empty;
};

// Imports numpy on first use; raises the import error when it cannot.
Fallible<const Numpy*> numpy();

// collections.abc.Mapping (borrowed).
Fallible<PyObject*> mapping_abc();

// obj.name(args...): a new reference, or null with the error set.
template <class... A>
PyRef call_method(PyObject* obj, const char* name, A... args) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!method) return {};
    return PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), static_cast<PyObject*>(args)...,
                                                     static_cast<PyObject*>(nullptr)));
}

inline PyRef attr(PyObject* obj, const char* name) {
    return PyRef::steal(PyObject_GetAttrString(obj, name));
}

}  // namespace veltra::seam
