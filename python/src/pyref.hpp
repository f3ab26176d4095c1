// Owning handles for CPython references, and the convention every seam
// function follows on failure: a Python exception is set and `Raised` (or a
// null handle) travels back to the function that CPython called.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030b0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace veltra::seam {

// One strong reference, released on destruction. Raw pointers appear only
// where the C API is called.
class PyRef {
  public:
    PyRef() = default;
    // Takes over a new reference (null allowed: a failed C API call).
    static PyRef steal(PyObject* p) { return PyRef(p); }
    // Adds a reference of its own to a borrowed one.
    static PyRef borrow(PyObject* p) {
        Py_XINCREF(p);
        return PyRef(p);
    }
    ~PyRef() { Py_XDECREF(p_); }
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller (for returning to CPython or to a
    // stealing call).
    PyObject* release() { return std::exchange(p_, nullptr); }

  private:
    explicit PyRef(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// A Python exception has been set; the caller returns at once.
struct Raised {};
template <class T>
using Fallible = std::expected<T, Raised>;

inline std::unexpected<Raised> raised() { return std::unexpected<Raised>(Raised{}); }

// The UTF-8 text of a `str`; fails with the host's encoding error (lone
// surrogates). The view lives as long as the string object.
inline Fallible<std::string_view> utf8(PyObject* str) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &n);
    if (s == nullptr) return raised();
    return std::string_view(s, static_cast<std::size_t>(n));
}

// The process-wide object kept in `slot`, made by `make` (a new reference,
// or null with the error set) on first use and never freed. Making it can
// run Python code, and with it another thread that stores one meanwhile: the
// first one stored wins.
template <class Make>
PyObject* made_once(PyObject*& slot, Make make) {
    if (slot != nullptr) return slot;
    PyObject* made = make();
    if (made == nullptr) return nullptr;
    if (slot != nullptr) {
        Py_DECREF(made);
        return slot;
    }
    slot = made;
    return slot;
}

inline PyRef str_of(std::string_view text) {
    return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace veltra::seam
