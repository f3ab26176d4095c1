// The conversion pass: nodes become values. Large float64 inputs are read
// in place wherever their layout allows: every contiguous vector, every
// F-ordered matrix, and a C-ordered matrix where it may stay row-major.
// Other layouts are copied once into owned storage.
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "node.hpp"
#include "veltra/bind/error.hpp"

namespace veltra::seam {

using bind::BindError;
using bind::BindResult;
using bind::List;
using bind::Loan;
using bind::MatF64;
using bind::Record;
using bind::Value;
using bind::VecF64;

namespace {

// An element read through byte strides; memcpy keeps the read well defined
// whatever the stride.
double element_at(const char* data, std::ptrdiff_t offset) {
    double x;
    std::memcpy(&x, data + offset, sizeof x);
    return x;
}

std::ptrdiff_t byte_offset(std::size_t i, std::ptrdiff_t stride) {
    return static_cast<std::ptrdiff_t>(i) * stride;
}

// Whether the axes, taken innermost first, are laid out densely.
bool dense(std::initializer_list<std::pair<std::size_t, std::ptrdiff_t>> axes) {
    std::ptrdiff_t expected = sizeof(double);
    for (const auto& [len, stride] : axes) {
        if (len == 0) return true;
    }
    for (const auto& [len, stride] : axes) {
        if (len == 1) continue;
        if (stride != expected) return false;
        expected *= static_cast<std::ptrdiff_t>(len);
    }
    return true;
}

Value convert_vector(const ArrayNode& a, const Loan& loan) {
    const std::size_t n = a.rows;
    if (n == 0) return Value(loan.vec({}));
    if (a.data != nullptr && a.c_contiguous())
        return Value(loan.vec(std::span<const double>(reinterpret_cast<const double*>(a.data), n)));
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = element_at(a.data, byte_offset(i, a.row_stride));
    return Value(VecF64(std::move(out)));
}

BindResult<Value> convert_matrix(const ArrayNode& a, bool may_stay_row_major, const Loan& loan) {
    const std::size_t r = a.rows;
    const std::size_t c = a.cols;
    const std::size_t n = r * c;
    const bool c_order = a.c_contiguous();
    const bool f_order = a.f_contiguous();
    const auto* data = reinterpret_cast<const double*>(a.data);
    if ((a.data != nullptr && (c_order || f_order)) || n == 0) {
        if (may_stay_row_major && c_order)
            return Value(loan.strided(data, r, c, static_cast<std::ptrdiff_t>(c), 1));
        if (f_order) {
            const auto held = static_cast<std::size_t>(a.buffer->len) / sizeof(double);
            if (held != n)
                return std::unexpected(BindError::invalid_argument(
                    "matrix buffer holds " + std::to_string(held) + " elements, expected " +
                    std::to_string(r) + " x " + std::to_string(c)));
            return Value(loan.strided(data, r, c, 1, static_cast<std::ptrdiff_t>(r)));
        }
        return Value(MatF64::from_row_major(std::span<const double>(data, n), r, c));
    }
    std::vector<double> out(n);
    std::size_t at = 0;
    for (std::size_t j = 0; j < c; ++j)
        for (std::size_t i = 0; i < r; ++i)
            out[at++] = element_at(a.data, byte_offset(i, a.row_stride) + byte_offset(j, a.col_stride));
    return Value(MatF64::col_major_owned(r, c, std::move(out)));
}

}  // namespace

bool ArrayNode::c_contiguous() const {
    if (ndim == 1) return dense({{rows, row_stride}});
    return dense({{cols, col_stride}, {rows, row_stride}});
}

bool ArrayNode::f_contiguous() const {
    if (ndim == 1) return dense({{rows, row_stride}});
    return dense({{rows, row_stride}, {cols, col_stride}});
}

BindResult<Value> convert(Node& node, bool may_stay_row_major, const Loan& loan) {
    if (auto* value = std::get_if<Value>(&node.data)) return std::move(*value);
    if (auto* a = std::get_if<ArrayNode>(&node.data)) {
        if (a->ndim == 1) return convert_vector(*a, loan);
        return convert_matrix(*a, may_stay_row_major, loan);
    }
    if (auto* map = std::get_if<MapNode>(&node.data)) {
        Record record = map->type_name ? Record::typed(*map->type_name) : Record();
        for (NamedNode& field : map->fields) {
            auto value = convert(field.node, false, loan);
            if (!value) return std::unexpected(std::move(value.error()));
            if (auto pushed = record.push(field.name, std::move(*value)); !pushed)
                return std::unexpected(std::move(pushed.error()));
        }
        return Value(std::move(record));
    }
    auto& list = std::get<ListNode>(node.data);
    List out;
    out.reserve(list.items.size());
    for (Node& item : list.items) {
        auto value = convert(item, false, loan);
        if (!value) return std::unexpected(std::move(value.error()));
        out.push_back(std::move(*value));
    }
    return Value(std::move(out));
}

}  // namespace veltra::seam
