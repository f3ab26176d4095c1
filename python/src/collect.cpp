// The collection pass: recognises each Python object, validates it and
// builds its node. Python code that it calls (__index__, items(), astype,
// dataclass fields, iteration) may raise; such exceptions end the call
// unchanged.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "exception.hpp"
#include "lookups.hpp"
#include "node.hpp"
#include "veltra/error.hpp"

namespace veltra::seam {

using bind::IntMap;
using bind::IntVec;
using bind::Kind;
using bind::Value;

namespace {

// 32 levels below an argument are accepted, the 33rd is refused.
constexpr int max_depth = 32;

Fallible<Node> fail(const Path& path, std::string_view text) {
    bad(path.text(), text);
    return raised();
}

Raised unsupported(const Path& path, PyObject* obj) {
    return bad(path.text(), "has unsupported type '" + type_name(obj) + "'");
}

// Int in [-2^63, 2^63), UInt in [2^63, 2^64), else the range error.
Fallible<Value> integer(PyObject* obj, const Path& path) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return raised();
    if (overflow == 0) return Value::int64(v);
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return Value::uint64(u);
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return raised();
        PyErr_Clear();
    }
    // Integers of 129 bits and more are named by their size: their decimal
    // text would swamp the message (or exceed the host's digit limit).
    std::string got;
    PyRef bits = call_method(obj, "bit_length");
    if (bits) {
        const long long n = PyLong_AsLongLong(bits.get());
        if (!(n == -1 && PyErr_Occurred()) && n >= 129) got = "an integer of " + std::to_string(n) + " bits";
    }
    PyErr_Clear();
    if (got.empty()) got = describe(obj);
    return std::unexpected(bad(path.text(), "is outside the 64-bit integer range [-2^63, 2^64), got " + got));
}

// A scalar's value; nothing when the object is no scalar.
Fallible<std::optional<Value>> scalar(PyObject* obj, const Path& path) {
    if (obj == Py_None) return Value::none();
    if (PyBool_Check(obj)) return Value::boolean(obj == Py_True);
    if (PyLong_Check(obj)) return integer(obj, path);
    if (PyFloat_Check(obj)) {
        const double x = PyFloat_AsDouble(obj);
        if (x == -1.0 && PyErr_Occurred()) return raised();
        return Value::real(x);
    }
    if (PyUnicode_Check(obj)) {
        auto text = utf8(obj);
        if (!text) return raised();
        return Value::string(std::string(*text));
    }
    auto np = numpy();
    if (!np) return raised();
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>((*np)->bool_))) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return raised();
        return Value::boolean(truth != 0);
    }
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>((*np)->integer))) {
        PyRef index = call_method(obj, "__index__");
        if (!index) return raised();
        if (!PyLong_Check(index.get())) {
            PyErr_Format(PyExc_TypeError, "__index__ returned non-int (type %s)",
                         type_name(index.get()).c_str());
            return raised();
        }
        return integer(index.get(), path);
    }
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>((*np)->floating))) {
        const double x = PyFloat_AsDouble(obj);
        if (x == -1.0 && PyErr_Occurred()) return raised();
        return Value::real(x);
    }
    return std::optional<Value>();
}

Fallible<Node> mapping(PyObject* obj, const Path& path, int depth) {
    PyRef items = PyRef::steal(PyMapping_Items(obj));
    if (!items) return raised();
    if (!PyList_Check(items.get())) {
        items = PyRef::steal(PySequence_List(items.get()));
        if (!items) return raised();
    }
    const Py_ssize_t initial = PyList_Size(items.get());
    MapNode fields;
    IntMap pairs;
    bool seen_str = false;
    bool seen_int = false;
    for (Py_ssize_t i = 0; i < initial && i < PyList_Size(items.get()); ++i) {
        PyRef item = PyRef::borrow(PyList_GetItem(items.get(), i));
        if (!item) return raised();
        if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 2) {
            PyErr_Format(PyExc_TypeError, "mapping items must be (key, value) pairs, got '%s'",
                         type_name(item.get()).c_str());
            return raised();
        }
        PyRef key = PyRef::borrow(PyTuple_GetItem(item.get(), 0));
        PyRef value = PyRef::borrow(PyTuple_GetItem(item.get(), 1));
        const Path key_path = path.key();
        auto key_value = scalar(key.get(), key_path);
        if (!key_value) return raised();
        const std::optional<Value>& k = *key_value;
        if (k && k->kind() == Kind::Str && !seen_int) {
            seen_str = true;
            std::string name(k->get_if<bind::Str>()->view());
            const Path value_path = path.str_key(name);
            auto node = collect(value.get(), value_path, depth + 1);
            if (!node) return raised();
            fields.fields.push_back(NamedNode{std::move(name), std::move(*node)});
            continue;
        }
        if (k && k->kind() == Kind::Int && !seen_str) {
            seen_int = true;
            const std::int64_t key_int = *k->get_if<std::int64_t>();
            const Path value_path = path.index(key_int);
            auto number = scalar(value.get(), value_path);
            if (!number) return raised();
            const std::optional<Value>& x = *number;
            double real = 0;
            if (x && x->kind() == Kind::Int) {
                real = static_cast<double>(*x->get_if<std::int64_t>());
            } else if (x && x->kind() == Kind::UInt) {
                real = static_cast<double>(*x->get_if<std::uint64_t>());
            } else if (x && x->kind() == Kind::Float) {
                real = *x->get_if<double>();
            } else {
                return fail(value_path, "must be a number, got " + describe(value.get()));
            }
            pairs.emplace_back(key_int, real);
            continue;
        }
        return fail(path, "must have all string keys or all integer keys, got the key " +
                              describe(key.get()));
    }
    if (seen_int) return Node{Value(std::move(pairs))};
    return Node{std::move(fields)};
}

Fallible<Node> sequence(PyObject* obj, const Path& path, int depth) {
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return raised();
    ListNode list;
    const Py_ssize_t hint = PyObject_Size(obj);
    if (hint > 0) list.items.reserve(static_cast<std::size_t>(hint));
    else PyErr_Clear();
    bool all_int = true;
    std::int64_t i = 0;
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        const Path item_path = path.index(i++);
        auto node = collect(item.get(), item_path, depth + 1);
        if (!node) return raised();
        const auto* v = std::get_if<Value>(&node->data);
        all_int = all_int && v != nullptr && v->kind() == Kind::Int;
        list.items.push_back(std::move(*node));
    }
    if (PyErr_Occurred()) return raised();
    if (!all_int) return Node{std::move(list)};
    IntVec ints;
    ints.reserve(list.items.size());
    for (const Node& n : list.items) ints.push_back(*std::get<Value>(n.data).get_if<std::int64_t>());
    return Node{Value(std::move(ints))};
}

Fallible<Node> array(PyObject* obj, const Path& path, const Numpy& np) {
    PyRef ndim_obj = attr(obj, "ndim");
    if (!ndim_obj) return raised();
    const long ndim = PyLong_AsLong(ndim_obj.get());
    if (ndim == -1 && PyErr_Occurred()) return raised();
    if (ndim == 0) {
        PyRef item = call_method(obj, "item");
        if (!item) return raised();
        auto value = scalar(item.get(), path);
        if (!value) return raised();
        if (!*value) return std::unexpected(unsupported(path, item.get()));
        return Node{std::move(**value)};
    }
    if (ndim > 2)
        return fail(path, "must be an array of at most 2 dimensions, got " + std::to_string(ndim) + "-D");

    PyRef arr = PyRef::borrow(obj);
    PyRef dtype = attr(obj, "dtype");
    if (!dtype) return raised();
    // Equality with the float64 dtype is NumPy's equivalence test, which a
    // byte-swapped float64 fails: that one is converted like other dtypes.
    const int is_f64 = PyObject_RichCompareBool(dtype.get(), np.float64, Py_EQ);
    if (is_f64 < 0) return raised();
    if (is_f64 == 0) {
        PyRef kind = attr(dtype.get(), "kind");
        if (!kind) return raised();
        auto kind_text = utf8(kind.get());
        if (!kind_text) return raised();
        if (*kind_text != "b" && *kind_text != "i" && *kind_text != "u" && *kind_text != "f") {
            PyRef dtype_text = PyRef::steal(PyObject_Str(dtype.get()));
            if (!dtype_text) return raised();
            auto text = utf8(dtype_text.get());
            if (!text) return raised();
            return fail(path, "has unsupported array dtype " + std::string(*text));
        }
        arr = call_method(obj, "astype", np.float64);
        if (!arr) return raised();
    }
    PyRef flags = attr(arr.get(), "flags");
    if (!flags) return raised();
    PyRef aligned = attr(flags.get(), "aligned");
    if (!aligned) return raised();
    const int is_aligned = PyObject_IsTrue(aligned.get());
    if (is_aligned < 0) return raised();
    if (is_aligned == 0) return fail(path, "must be an aligned array, got a misaligned one");

    BufferHold view(new Py_buffer{});
    if (PyObject_GetBuffer(arr.get(), view.get(), PyBUF_RECORDS_RO) < 0) {
        // Nothing was exported: release must not run on the empty view.
        delete view.release();
        return raised();
    }
    const std::string_view format = view->format != nullptr ? view->format : "B";
    const bool f64_format = format == "d" || format == "<d" || format == "=d" || format == "@d";
    internal_check(view->itemsize == 8 && f64_format, "a float64 array exported a buffer of another type");
    internal_check(view->ndim == ndim, "an array's buffer has another dimension count than the array");
    ArrayNode node;
    node.data = static_cast<const char*>(view->buf);
    node.ndim = view->ndim;
    node.rows = static_cast<std::size_t>(view->shape[0]);
    node.row_stride = view->strides[0];
    if (node.ndim == 2) {
        node.cols = static_cast<std::size_t>(view->shape[1]);
        node.col_stride = view->strides[1];
    }
    node.buffer = std::move(view);
    return Node{std::move(node)};
}

// Dataclass instances; everything else that got this far is unsupported.
Fallible<Node> other(PyObject* obj, const Path& path, int depth) {
    PyRef dataclasses = PyRef::steal(PyImport_ImportModule("dataclasses"));
    if (!dataclasses) return raised();
    // A dataclass's class passes is_dataclass too, but has no field values.
    if (PyType_Check(obj)) return std::unexpected(unsupported(path, obj));
    PyRef is_dataclass = call_method(dataclasses.get(), "is_dataclass", obj);
    if (!is_dataclass) return raised();
    const int truth = PyObject_IsTrue(is_dataclass.get());
    if (truth < 0) return raised();
    if (truth == 0) return std::unexpected(unsupported(path, obj));

    PyRef fields = call_method(dataclasses.get(), "fields", obj);
    if (!fields) return raised();
    PyRef iter = PyRef::steal(PyObject_GetIter(fields.get()));
    if (!iter) return raised();
    MapNode map;
    map.type_name = type_name(obj);
    while (PyRef field = PyRef::steal(PyIter_Next(iter.get()))) {
        PyRef name = attr(field.get(), "name");
        if (!name) return raised();
        auto name_text = utf8(name.get());
        if (!name_text) return raised();
        PyRef value = PyRef::steal(PyObject_GetAttr(obj, name.get()));
        if (!value) return raised();
        const Path field_path = path.field(*name_text);
        auto node = collect(value.get(), field_path, depth + 1);
        if (!node) return raised();
        map.fields.push_back(NamedNode{std::string(*name_text), std::move(*node)});
    }
    if (PyErr_Occurred()) return raised();
    return Node{std::move(map)};
}

}  // namespace

Fallible<Node> collect(PyObject* obj, const Path& path, int depth) {
    if (depth > max_depth) return fail(path, "is nested too deeply");
    auto value = scalar(obj, path);
    if (!value) return raised();
    if (*value) return Node{std::move(**value)};

    // scalar() has imported NumPy for every object that is no Python scalar.
    auto np = numpy();
    if (!np) return raised();
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>((*np)->ndarray)))
        return array(obj, path, **np);

    if (PyDict_Check(obj)) return mapping(obj, path, depth);
    auto mapping_class = mapping_abc();
    if (!mapping_class) return raised();
    int is_mapping = PyObject_IsInstance(obj, *mapping_class);
    if (is_mapping < 0) {
        PyErr_WriteUnraisable(obj);
        is_mapping = 0;
    }
    if (is_mapping != 0) return mapping(obj, path, depth);

    if (PyList_Check(obj) || PyTuple_Check(obj)) return sequence(obj, path, depth);
    return other(obj, path, depth);
}

}  // namespace veltra::seam
