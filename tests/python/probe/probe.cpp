// `_veltra_probe`: a test-only extension over the seam's own conversion code. It builds result
// values and errors in C++ and runs the argument passes alone, so that tests see every form.
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "call.hpp"
#include "exception.hpp"
#include "to_py.hpp"
#include "veltra/bind/value.hpp"

namespace {

using namespace veltra::seam;
using namespace veltra::bind;

// Lent to borrowed results; a borrowed result must come back as a copy.
constexpr std::array<double, 6> lent = {1, 2, 3, 4, 5, 6};

Record ci(double point) {
    return Record::typed("CIScalar").field("point", Value::real(point)).field("lower", Value::real(point - 1))
        .field("upper", Value::real(point + 1)).field("sd", Value::real(0.5));
}

// A matrix of the shape named after `prefix` ("<prefix> rows cols") whose
// column-major data are 0, 1, 2, ...: in one of the forms that reach NumPy
// through the transpose.
std::optional<Value> counted(std::string_view name, const Loan& loan) {
    std::size_t r = 0;
    std::size_t c = 0;
    char form[16] = {};
    if (std::sscanf(std::string(name).c_str(), "%15s %zu %zu", form, &r, &c) != 3) return std::nullopt;
    const std::string_view kind = form;
    if (kind == "owned") {
        std::vector<double> data(r * c);
        for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<double>(k);
        return Value(MatF64::col_major_owned(r, c, std::move(data)));
    }
    if (kind == "adopted") {
        Eigen::MatrixXd m(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c));
        for (Eigen::Index k = 0; k < m.size(); ++k) m.data()[k] = static_cast<double>(k);
        return Value(MatF64::adopt(std::move(m)));
    }
    if (kind == "padded") {
        // Columns 3 apart beyond their length, as a slice of a taller array lends them.
        static std::vector<double> lent_padded;
        lent_padded.assign((r + 3) * c, -1.0);
        for (std::size_t j = 0; j < c; ++j)
            for (std::size_t i = 0; i < r; ++i) lent_padded[i + j * (r + 3)] = static_cast<double>(i + j * r);
        return Value(loan.strided(lent_padded.data(), r, c, 1, static_cast<std::ptrdiff_t>(r + 3)));
    }
    return std::nullopt;
}

// The value of a named case; `address` receives the first element's
// address for owned buffers (to show that no copy was made).
Value make_case(std::string_view name, const Loan& loan, std::uintptr_t& address) {
    const auto owned = [&](std::vector<double> v) {
        address = reinterpret_cast<std::uintptr_t>(v.data());
        return v;
    };
    if (auto m = counted(name, loan)) return std::move(*m);
    if (name == "none") return Value::none();
    if (name == "bool") return Value::boolean(true);
    if (name == "int_min") return Value::int64(std::numeric_limits<std::int64_t>::min());
    if (name == "uint_max") return Value::uint64(std::numeric_limits<std::uint64_t>::max());
    if (name == "nan") return Value::real(std::nan(""));
    if (name == "neg_inf") return Value::real(-std::numeric_limits<double>::infinity());
    if (name == "str") return Value::string("r\xc3\xa9sum\xc3\xa9");
    if (name == "owned_vec") return Value(VecF64(owned({1.5, -2.5, 3.5})));
    if (name == "borrowed_vec") return Value(loan.vec(lent));
    if (name == "empty_vec") return Value(VecF64(std::vector<double>{}));
    if (name == "row_major") return Value(MatF64::row_major_owned(2, 3, owned({1, 2, 3, 4, 5, 6})));
    if (name == "col_major") return Value(MatF64::col_major_owned(3, 2, {1, 2, 3, 4, 5, 6}));
    if (name == "strided") return Value(loan.strided(lent.data(), 2, 3, 3, 1));
    // Reversed rows and columns: element (i, j) = lent[5 - 3i - j].
    if (name == "strided_reversed") return Value(loan.strided(lent.data() + 5, 2, 3, -3, -1));
    if (name == "empty_rows") return Value(MatF64::col_major_owned(0, 3, {}));
    if (name == "empty_cols") return Value(MatF64::row_major_owned(2, 0, {}));
    if (name == "row_major_short") return Value(MatF64::row_major_owned(2, 3, {1, 2, 3, 4, 5}));
    if (name == "row_major_long") return Value(MatF64::row_major_owned(2, 3, {1, 2, 3, 4, 5, 6, 7}));
    if (name == "row_major_overflow")
        return Value(MatF64::row_major_owned(std::numeric_limits<std::size_t>::max(), 2, {1}));
    if (name == "col_major_short") return Value(MatF64::col_major_owned(2, 3, {1, 2, 3}));
    if (name == "int_map") return Value(IntMap{{1, 0.5}, {2, 1.5}, {3, 2.5}});
    if (name == "int_map_repeated") return Value(IntMap{{4, 1.0}, {2, 2.0}, {4, 3.0}});
    if (name == "int_vec") return Value(IntVec{3, -1, 9007199254740993});
    if (name == "bool_vec") return Value(BoolVec{true, false, true});
    if (name == "warning")
        return Value(Record().field("kind", Value::string("rerouted")).field("message", Value::string("m")));
    PyErr_Format(PyExc_KeyError, "no case %s", std::string(name).c_str());
    return Value::none();
}

// Runs `body`, turning a C++ exception into the internal VeltraException.
template <class Body>
PyObject* guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        PyErr_Clear();
        raise(coded_err("internal", std::string("probe: ") + e.what()));
        return nullptr;
    }
}

// The binding error of a named error case, if it is one.
std::optional<BindError> error_case(std::string_view name) {
    if (name == "invalid_weights") return BindError::from_core(veltra::VeltraError::InvalidWeights{"negative"});
    if (name == "resampling_degenerate")
        return BindError::from_core(veltra::VeltraError::ResamplingDegenerate{
            3, std::numeric_limits<std::uint64_t>::max(), 0.075, 0.05});
    if (name != "typed_detail") return std::nullopt;
    BindError e = BindError::internal("typed detail");
    e.details.set("model", Value(ci(1)));
    return e;
}

// case(name, make_result) -> (object, address of the owned buffer or 0), or
// raises the named binding error.
PyObject* probe_case(PyObject*, PyObject* args) noexcept {
    const char* name = nullptr;
    PyObject* make_result = nullptr;
    if (!PyArg_ParseTuple(args, "sO", &name, &make_result)) return nullptr;
    return guarded([&]() -> PyObject* {
        if (auto error = error_case(name)) {
            raise_bind_error(std::move(*error), make_result);
            return nullptr;
        }
        const Loan loan;
        std::uintptr_t address = 0;
        Value value = make_case(name, loan, address);
        if (PyErr_Occurred()) return nullptr;
        PyRef object = to_py(std::move(value), make_result);
        return object ? Py_BuildValue("(OK)", object.get(), static_cast<unsigned long long>(address)) : nullptr;
    });
}

PyRef form_of(const Value& v) {
    using veltra::bind::Kind;
    switch (v.kind()) {
        case Kind::Vec: {
            const VecF64& vec = *v.get_if<VecF64>();
            return PyRef::steal(Py_BuildValue("(ssK)", "Vec", vec.is_borrowed() ? "borrowed" : "owned",
                                              static_cast<unsigned long long>(
                                                  reinterpret_cast<std::uintptr_t>(vec.values().data()))));
        }
        case Kind::Mat: {
            const MatF64& m = *v.get_if<MatF64>();
            const veltra::MatView view = m.as_mat();
            const char* form = m.form() == MatF64::Form::Strided    ? "Strided"
                               : m.form() == MatF64::Form::ColMajor ? "ColMajor" : "RowMajor";
            return PyRef::steal(Py_BuildValue(
                "(ssKnn)", "Mat", form,
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(view.data)),
                static_cast<Py_ssize_t>(view.row_stride), static_cast<Py_ssize_t>(view.col_stride)));
        }
        default: {
            static constexpr const char* kinds[] = {"None",   "Bool",   "Int",    "UInt",    "Float",
                                                    "Str",    "Vec",    "Mat",    "IntMap",  "IntVec",
                                                    "BoolVec", "Record", "List"};
            return PyRef::steal(Py_BuildValue("(s)", kinds[static_cast<int>(v.kind())]));
        }
    }
}

// Runs both argument passes on `arguments`; then converts the record back
// with make_result (`back` set) or reports each value's kind and form.
PyObject* run_passes(PyObject* args, bool back) noexcept {
    PyObject* arguments = nullptr;
    PyObject* make_result = Py_None;
    if (!PyArg_ParseTuple(args, "O!|O", &PyDict_Type, &arguments, &make_result)) return nullptr;
    return guarded([&]() -> PyObject* {
        const Loan loan;
        auto entries = collect_arguments(arguments);
        if (!entries) return nullptr;
        auto record = convert_arguments(*entries, loan);
        if (!record) {
            raise_bind_error(std::move(record.error()), make_result);
            return nullptr;
        }
        if (back) return to_py(Value(std::move(*record)), make_result).release();
        PyRef forms = PyRef::steal(PyDict_New());
        for (const auto& f : record->fields()) {
            PyRef form = form_of(f.value);
            if (!form || PyDict_SetItemString(forms.get(), f.name.c_str(), form.get()) < 0) return nullptr;
        }
        return forms.release();
    });
}

PyObject* probe_roundtrip(PyObject*, PyObject* args) noexcept { return run_passes(args, true); }
PyObject* probe_forms(PyObject*, PyObject* args) noexcept { return run_passes(args, false); }

PyMethodDef probe_methods[] = {
    {"case", probe_case, METH_VARARGS, "case(name, make_result) -> (object, owned buffer address)"},
    {"roundtrip", probe_roundtrip, METH_VARARGS, "roundtrip(arguments, make_result) -> dict"},
    {"forms", probe_forms, METH_VARARGS, "forms(arguments) -> form of each converted value"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT, "_veltra_probe", "", 0, probe_methods, nullptr, nullptr, nullptr, nullptr,
};

int exec_probe(PyObject* module) {
    PyObject* type = exception_type();
    if (type == nullptr) return -1;
    return PyModule_AddObjectRef(module, "VeltraException", type);
}

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_probe)},
    {0, nullptr},
};

}  // namespace

PyMODINIT_FUNC PyInit__veltra_probe(void) {
    probe_module.m_slots = probe_slots;
    return PyModuleDef_Init(&probe_module);
}
