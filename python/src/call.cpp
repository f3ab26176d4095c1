// call() and registry_json(). The interpreter lock is held throughout; the
// numerical work runs with it held, as Python code must not see the
// borrowed input arrays change under a running call.
#include "call.hpp"

#include <array>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "exception.hpp"
#include "lookups.hpp"
#include "to_py.hpp"
#include "veltra/bind/registry.hpp"
#include "veltra/error.hpp"

namespace veltra::seam {

namespace {

constexpr std::array<const char*, 3> param_names = {"name", "arguments", "make_result"};

// TypeError(message) with the note "while processing '{param}'".
Raised type_error_with_note(const std::string& message, const char* param) {
    PyRef text = str_of(message);
    if (!text) return Raised{};
    PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
    if (!exc) return Raised{};
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", param));
    if (!note) return Raised{};
    PyRef added = call_method(exc.get(), "add_note", note.get());
    if (!added) return Raised{};
    return raise(std::move(exc));
}

std::string not_an_instance(PyObject* obj, const char* expected) {
    std::string out = "'";
    out.append(type_name(obj)).append("' object is not an instance of '").append(expected).append("'");
    return out;
}

// 'a', 'b' and 'c' the way Python lists missing parameters.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) out += ',';
            out += i + 1 == names.size() ? " and " : " ";
        }
        out.append("'").append(names[i]).append("'");
    }
    return out;
}

// Binds the three parameters by position and keyword as Python binds a
// function's; false with a TypeError set.
bool bind_parameters(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::array<PyObject*, 3>& slots) {
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "call() takes 3 positional arguments but %zd were given", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (keyword == nullptr) return false;
        std::size_t at = slots.size();
        for (std::size_t j = 0; j < param_names.size(); ++j)
            if (PyUnicode_CompareWithASCIIString(keyword, param_names[j]) == 0) at = j;
        if (at == slots.size()) {
            PyErr_Format(PyExc_TypeError, "call() got an unexpected keyword argument '%U'", keyword);
            return false;
        }
        if (slots[at] != nullptr) {
            PyErr_Format(PyExc_TypeError, "call() got multiple values for argument '%s'", param_names[at]);
            return false;
        }
        slots[at] = args[nargs + k];
    }
    std::vector<const char*> missing;
    for (std::size_t j = 0; j < slots.size(); ++j)
        if (slots[j] == nullptr) missing.push_back(param_names[j]);
    if (!missing.empty()) {
        const std::string message = "call() missing " + std::to_string(missing.size()) +
                                    " required positional argument" + (missing.size() == 1 ? "" : "s") +
                                    ": " + quoted_list(missing);
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return false;
    }
    return true;
}

// Steps after the parameter checks. Declaration order is release order in
// reverse: the output first, then the collected entries (and with them the
// array exports), the loan last, once nothing can read borrowed data.
PyRef run(const std::string& name, PyObject* arguments, PyObject* make_result) {
    const bind::Loan loan;
    auto entries = collect_arguments(arguments);
    if (!entries) return {};
    auto record = convert_arguments(*entries, loan);
    if (!record) {
        raise_bind_error(std::move(record.error()), make_result);
        return {};
    }
    auto output = bind::call(name, std::move(*record));
    if (!output) {
        raise_bind_error(std::move(output.error()), make_result);
        return {};
    }
    PyRef result = to_py(std::move(output->value), make_result);
    if (!result) return {};
    PyRef warnings = PyRef::steal(PyList_New(0));
    if (!warnings) return {};
    for (bind::Record& warning : output->warnings) {
        PyRef converted = to_py(bind::Value(std::move(warning)), make_result);
        if (!converted || PyList_Append(warnings.get(), converted.get()) < 0) return {};
    }
    return PyRef::steal(PyTuple_Pack(2, result.get(), warnings.get()));
}

// Outside the seam guard nothing but an allocation can throw; it must
// still not reach CPython.
void raise_escaped(const char* where) {
    PyErr_Clear();
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%s: %s", where, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: unknown failure", where);
    }
}

}  // namespace

Raised raise_bind_error(bind::BindError error, PyObject* make_result) {
    PyRef exc = coded_err(error.code, error.message);
    if (!exc) return Raised{};
    PyObject* type = exception_type();
    if (type == nullptr || !PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(type)))
        return raise(std::move(exc));
    for (bind::Field& field : std::move(error.details).into_fields()) {
        PyRef value = to_py(std::move(field.value), make_result);
        if (!value) return Raised{};
        if (PyObject_SetAttrString(exc.get(), field.name.c_str(), value.get()) < 0) return Raised{};
    }
    return raise(std::move(exc));
}

PyObject* call_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    try {
        std::array<PyObject*, 3> slots{};
        if (!bind_parameters(args, nargs, kwnames, slots)) return nullptr;
        const auto [name_obj, arguments, make_result] = slots;
        if (!PyUnicode_Check(name_obj)) {
            type_error_with_note(not_an_instance(name_obj, "str"), "name");
            return nullptr;
        }
        auto name_view = utf8(name_obj);
        if (!name_view) return nullptr;
        if (!PyDict_Check(arguments)) {
            type_error_with_note(not_an_instance(arguments, "dict"), "arguments");
            return nullptr;
        }
        const std::string name(*name_view);

        // The seam guard: a broken invariant or any other C++ exception in
        // the conversions on either side of the function ends only this call.
        try {
            return run(name, arguments, make_result).release();
        } catch (const InternalFailure&) {
            // Reported where it was raised.
        } catch (const std::exception& e) {
            std::cerr << "veltra: exception escaped the Python seam while running " << name << ": "
                      << e.what() << '\n'
                      << std::flush;
        } catch (...) {
            std::cerr << "veltra: non-standard exception escaped the Python seam while running " << name
                      << '\n'
                      << std::flush;
        }
        PyErr_Clear();
        raise(coded_err("internal", "panic in the Python seam while running " + name));
        return nullptr;
    } catch (...) {
        raise_escaped("call");
        return nullptr;
    }
}

PyObject* registry_json_entry(PyObject*, PyObject*) noexcept {
    try {
        return str_of(bind::registry_json()).release();
    } catch (...) {
        raise_escaped("registry_json");
        return nullptr;
    }
}

}  // namespace veltra::seam
