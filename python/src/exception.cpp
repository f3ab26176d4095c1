#include "exception.hpp"

#include <string>

#include "veltra/error.hpp"

namespace veltra::seam {

namespace {
// Shared by every module object of the process and never freed: instances
// raised from one import must satisfy isinstance against every other.
PyObject* veltra_exception = nullptr;
}  // namespace

PyObject* exception_type() {
    return made_once(veltra_exception, [] {
        return PyErr_NewExceptionWithDoc("_veltra.VeltraException", nullptr, PyExc_Exception,
                                         nullptr);
    });
}

PyRef coded_err(std::string_view code, std::string_view message) {
    PyObject* type = exception_type();
    if (type == nullptr) return {};
    PyRef text = str_of(message);
    if (!text) return {};
    PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (!exc) return {};
    PyRef code_text = str_of(code);
    if (!code_text || PyObject_SetAttrString(exc.get(), "code", code_text.get()) < 0) {
        // The failure to decorate is what the caller gets to see.
        PyObject* type_out = nullptr;
        PyObject* value_out = nullptr;
        PyObject* trace_out = nullptr;
        PyErr_Fetch(&type_out, &value_out, &trace_out);
        PyErr_NormalizeException(&type_out, &value_out, &trace_out);
        if (value_out != nullptr && trace_out != nullptr) PyException_SetTraceback(value_out, trace_out);
        Py_XDECREF(type_out);
        Py_XDECREF(trace_out);
        return PyRef::steal(value_out);
    }
    return exc;
}

Raised raise(PyRef exc) {
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    // A null handle means the error that prevented it is already set.
    return Raised{};
}

Raised bad(std::string_view path, std::string_view text) {
    std::string message;
    message.reserve(path.size() + 1 + text.size());
    message.append(path).append(" ").append(text);
    return raise(coded_err("invalid_argument", message));
}

}  // namespace veltra::seam
