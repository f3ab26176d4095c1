#include <string>

#include "node.hpp"
#include "veltra/text.hpp"

namespace veltra::seam {

std::string type_name(PyObject* obj) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    if (name) {
        if (auto text = utf8(name.get())) return std::string(*text);
    }
    PyErr_Clear();
    return "?";
}

std::string describe(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        if (auto text = utf8(obj)) return "the string " + debug_quoted(*text);
        PyErr_Clear();
        // Lone surrogates: their bytes are shown escaped, never dropped.
        PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
        char* data = nullptr;
        Py_ssize_t n = 0;
        if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &n) == 0)
            return "the string " + debug_quoted(std::string_view(data, static_cast<std::size_t>(n)));
        PyErr_Clear();
        return "a value of type " + type_name(obj);
    }
    PyRef repr = PyRef::steal(PyObject_Repr(obj));
    if (!repr) {
        PyErr_Clear();
        return "a value of type " + type_name(obj);
    }
    if (auto text = utf8(repr.get())) return std::string(*text);
    PyErr_Clear();
    return "<unprintable " + type_name(obj) + " object>";
}

}  // namespace veltra::seam
