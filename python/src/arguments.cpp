#include "arguments.hpp"

#include <string>
#include <utility>

#include "exception.hpp"
#include "veltra/error.hpp"

namespace veltra::seam {

Fallible<std::vector<NamedNode>> collect_arguments(PyObject* dict) {
    const Py_ssize_t initial = PyDict_Size(dict);
    std::vector<NamedNode> entries;
    entries.reserve(static_cast<std::size_t>(initial));
    Py_ssize_t pos = 0;
    PyObject* key_borrowed = nullptr;
    PyObject* value_borrowed = nullptr;
    Py_ssize_t seen = 0;
    while (PyDict_Next(dict, &pos, &key_borrowed, &value_borrowed)) {
        internal_check(++seen <= initial, "dictionary keys changed during iteration");
        // Python code run by the collection may drop the dictionary's own
        // references: hold ours.
        PyRef key = PyRef::borrow(key_borrowed);
        PyRef value = PyRef::borrow(value_borrowed);
        if (!PyUnicode_Check(key.get())) {
            raise(coded_err("invalid_argument",
                            "argument names must be strings, got " + describe(key.get())));
            return raised();
        }
        auto name = utf8(key.get());
        if (!name) return raised();
        std::string name_text(*name);
        auto node = collect(value.get(), Path::root(name_text), 0);
        if (!node) return raised();
        entries.push_back(NamedNode{std::move(name_text), std::move(*node)});
        internal_check(PyDict_Size(dict) == initial, "dictionary changed size during iteration");
    }
    internal_check(seen == initial, "dictionary keys changed during iteration");
    return entries;
}

bind::BindResult<bind::Record> convert_arguments(std::vector<NamedNode>& entries, const bind::Loan& loan) {
    bind::Record record;
    for (NamedNode& entry : entries) {
        const bool may_stay_row_major = entry.name == "X" || entry.name == "X_new";
        auto value = convert(entry.node, may_stay_row_major, loan);
        if (!value) return std::unexpected(std::move(value.error()));
        if (auto pushed = record.push(entry.name, std::move(*value)); !pushed)
            return std::unexpected(std::move(pushed.error()));
    }
    return record;
}

}  // namespace veltra::seam
