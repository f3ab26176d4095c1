// Values become Python objects. Real vectors and matrices become float64
// NumPy arrays: an owned vector or row-major buffer is handed to NumPy without
// a copy, through a small owner object that exports it and frees it when the
// array goes. Other matrices are transposed once into a new array. Borrowed
// data is copied, so a result never aliases an input.
#include "to_py.hpp"

#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "exception.hpp"
#include "lookups.hpp"
#include "node.hpp"
#include "veltra/error.hpp"
#include "veltra/numeric.hpp"

namespace veltra::seam {

using bind::BoolVec;
using bind::IntMap;
using bind::IntVec;
using bind::List;
using bind::MatF64;
using bind::Record;
using bind::Str;
using bind::Value;
using bind::VecF64;

namespace {

// The owner of one result buffer, exported as a writable 1-D float64 buffer.
struct Holder {
    PyObject_HEAD
    std::vector<double>* data;
    Py_ssize_t len_items;  // shape of the float64 form
    Py_ssize_t len_bytes;  // shape of the byte form
    Py_ssize_t item_stride;
    Py_ssize_t byte_stride;
};

int holder_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* h = reinterpret_cast<Holder*>(self);
    if (h->data == nullptr) {
        PyErr_SetString(PyExc_BufferError, "result buffer holder without a buffer");
        view->obj = nullptr;
        return -1;
    }
    // Consumers that ask for no format (numpy.frombuffer among them) get
    // plain bytes; the others get float64 items.
    const bool items = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
    view->obj = Py_NewRef(self);
    view->buf = h->data->data();
    view->len = h->len_bytes;
    view->readonly = 0;
    view->itemsize = items ? 8 : 1;
    view->format = items ? const_cast<char*>("d") : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? (items ? &h->len_items : &h->len_bytes) : nullptr;
    view->strides =
        (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? (items ? &h->item_stride : &h->byte_stride) : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void holder_dealloc(PyObject* self) {
    auto* h = reinterpret_cast<Holder*>(self);
    delete h->data;
    h->data = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyType_Slot holder_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(holder_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
    {0, nullptr},
};

PyType_Spec holder_spec = {
    "_veltra.ResultBuffer",
    sizeof(Holder),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    holder_slots,
};

// Created once per process, never freed.
PyObject* holder_type = nullptr;

PyObject* get_holder_type() {
    return made_once(holder_type, [] { return PyType_FromSpec(&holder_spec); });
}

PyRef shape_of(Py_ssize_t rows, Py_ssize_t cols, bool matrix) {
    return matrix ? PyRef::steal(Py_BuildValue("(nn)", rows, cols)) : PyRef::steal(Py_BuildValue("(n)", rows));
}

// A new float64 array of NumPy's own, not yet written.
PyRef empty_array(const PyRef& shape) {
    auto np = numpy();
    if (!np) return {};
    return PyRef::steal(PyObject_CallFunctionObjArgs((*np)->empty, shape.get(), (*np)->float64, nullptr));
}

// A float64 array of the given shape over `data` (which the array takes over).
PyRef array_over(std::vector<double> data, Py_ssize_t rows, Py_ssize_t cols, bool matrix) {
    auto np = numpy();
    if (!np) return {};
    PyRef shape = shape_of(rows, cols, matrix);
    if (!shape) return {};
    // NumPy cannot view an empty buffer; an empty array needs no storage.
    if (data.empty()) return empty_array(shape);

    PyObject* type = get_holder_type();
    if (type == nullptr) return {};
    auto* holder_class = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(holder_class, Py_tp_alloc));
    PyRef holder = PyRef::steal(alloc(holder_class, 0));
    if (!holder) return {};
    auto* h = reinterpret_cast<Holder*>(holder.get());
    const auto n = static_cast<Py_ssize_t>(data.size());
    h->len_items = n;
    h->len_bytes = n * 8;
    h->item_stride = 8;
    h->byte_stride = 1;
    h->data = new std::vector<double>(std::move(data));

    PyRef flat = PyRef::steal(
        PyObject_CallFunctionObjArgs((*np)->frombuffer, holder.get(), (*np)->float64, nullptr));
    if (!flat || !matrix) return flat;
    return call_method(flat.get(), "reshape", shape.get());
}

PyRef vector_to_py(VecF64 v) {
    // A borrowed vector is copied here: it still refers to a caller's array.
    std::vector<double> data = std::move(v).into_vector();
    const auto n = static_cast<Py_ssize_t>(data.size());
    return array_over(std::move(data), n, 1, false);
}

// The shape-error text for an owned row-major buffer that does not fit.
std::string shape_error(std::size_t rows, std::size_t cols, std::size_t len) {
    const auto n = veltra::checked_mul(rows, cols);
    if (!n || *n > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        return "ShapeError/Overflow: arithmetic overflow";
    if (*n > len) return "ShapeError/OutOfBounds: out of bounds indexing";
    return "ShapeError/IncompatibleShape: incompatible shapes";
}

PyRef matrix_to_py(MatF64 m) {
    const std::size_t rows = m.rows();
    const std::size_t cols = m.cols();
    if (m.form() == MatF64::Form::RowMajor) {
        const auto n = veltra::checked_mul(rows, cols);
        if (!n || *n != m.owned_len()) {
            raise(coded_err("internal", "result matrix: " + shape_error(rows, cols, m.owned_len())));
            return {};
        }
        return array_over(std::move(m).take_data(), static_cast<Py_ssize_t>(rows),
                          static_cast<Py_ssize_t>(cols), true);
    }
    // Column-major and strided forms are transposed once, straight into the
    // memory of a fresh NumPy array.
    PyRef shape = shape_of(static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols), true);
    if (!shape) return {};
    PyRef array = empty_array(shape);
    if (!array || rows == 0 || cols == 0) return array;
    BufferHold view(new Py_buffer{});
    if (PyObject_GetBuffer(array.get(), view.get(), PyBUF_CONTIG) < 0) {
        delete view.release();
        return {};
    }
    internal_check(static_cast<std::size_t>(view->len) == rows * cols * sizeof(double),
                   "a new result array has another size than its matrix");
    m.copy_row_major(std::span<double>(static_cast<double*>(view->buf), rows * cols));
    return array;
}

PyRef record_to_py(Record record, PyObject* make_result) {
    std::optional<std::string> type_name = record.type_name();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (bind::Field& field : std::move(record).into_fields()) {
        PyRef value = to_py(std::move(field.value), make_result);
        if (!value) return {};
        PyRef key = str_of(field.name);
        if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
    }
    if (!type_name) return dict;
    PyRef name = str_of(*type_name);
    if (!name) return {};
    return PyRef::steal(PyObject_CallFunctionObjArgs(make_result, name.get(), dict.get(), nullptr));
}

}  // namespace

PyRef to_py(Value value, PyObject* make_result) {
    switch (value.kind()) {
        case bind::Kind::None:
            return PyRef::borrow(Py_None);
        case bind::Kind::Bool:
            return PyRef::steal(PyBool_FromLong(*value.get_if<bool>() ? 1 : 0));
        case bind::Kind::Int:
            return PyRef::steal(PyLong_FromLongLong(*value.get_if<std::int64_t>()));
        case bind::Kind::UInt:
            return PyRef::steal(PyLong_FromUnsignedLongLong(*value.get_if<std::uint64_t>()));
        case bind::Kind::Float:
            return PyRef::steal(PyFloat_FromDouble(*value.get_if<double>()));
        case bind::Kind::Str:
            return str_of(value.get_if<Str>()->view());
        case bind::Kind::Vec:
            return vector_to_py(std::move(*value.get_if<VecF64>()));
        case bind::Kind::Mat:
            return matrix_to_py(std::move(*value.get_if<MatF64>()));
        case bind::Kind::IntMap: {
            PyRef dict = PyRef::steal(PyDict_New());
            if (!dict) return {};
            for (const auto& [k, x] : *value.get_if<IntMap>()) {
                PyRef key = PyRef::steal(PyLong_FromLongLong(k));
                PyRef real = PyRef::steal(PyFloat_FromDouble(x));
                if (!key || !real || PyDict_SetItem(dict.get(), key.get(), real.get()) < 0) return {};
            }
            return dict;
        }
        case bind::Kind::IntVec: {
            const IntVec& ints = *value.get_if<IntVec>();
            PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ints.size())));
            if (!list) return {};
            for (std::size_t i = 0; i < ints.size(); ++i) {
                PyObject* item = PyLong_FromLongLong(ints[i]);
                if (item == nullptr) return {};
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
            }
            return list;
        }
        case bind::Kind::BoolVec: {
            const BoolVec& bools = *value.get_if<BoolVec>();
            PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(bools.size())));
            if (!list) return {};
            for (std::size_t i = 0; i < bools.size(); ++i)
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), PyBool_FromLong(bools[i] ? 1 : 0));
            return list;
        }
        case bind::Kind::Record:
            return record_to_py(std::move(*value.get_if<Record>()), make_result);
        case bind::Kind::List: {
            List& items = *value.get_if<List>();
            PyRef list = PyRef::steal(PyList_New(0));
            if (!list) return {};
            for (Value& item : items) {
                PyRef converted = to_py(std::move(item), make_result);
                if (!converted || PyList_Append(list.get(), converted.get()) < 0) return {};
            }
            return list;
        }
    }
    internal_failure("value of unknown kind");
}

}  // namespace veltra::seam
