#include "veltra/bind/value.hpp"

#include <algorithm>
#include <atomic>
#include <string>

#include "veltra/error.hpp"
#include "veltra/numeric.hpp"
#include "veltra/parallel.hpp"
#include "veltra/settings.hpp"

namespace veltra::bind {

namespace detail {

struct LoanState {
    std::atomic<bool> open{true};
};

void check_loan(const std::shared_ptr<const LoanState>& loan) {
    if (loan) internal_check(loan->open.load(), "borrowed value read after its call returned");
}

}  // namespace detail

namespace {

using detail::check_loan;

// rows*cols without overflow.
std::optional<std::size_t> element_count(std::size_t rows, std::size_t cols) {
    return checked_mul(rows, cols);
}

std::size_t checked_count(std::size_t rows, std::size_t cols) {
    const auto n = element_count(rows, cols);
    internal_check(n.has_value(), "matrix element count overflows");
    return *n;
}

// Writes element (i, j) of v to out[i*cols + j]. A source whose rows are
// contiguous is copied row by row; any other is walked in square tiles, so
// that the cache lines read across the source's stride are used whole before
// they are evicted, instead of being fetched once per element.
void gather_row_major(const veltra::MatView& v, double* out) {
    if (v.col_stride == 1) {
        for (std::size_t i = 0; i < v.rows; ++i) {
            const double* row = v.data + static_cast<std::ptrdiff_t>(i) * v.row_stride;
            std::copy(row, row + v.cols, out + i * v.cols);
        }
        return;
    }
    constexpr std::size_t tile = 32;
    for (std::size_t i0 = 0; i0 < v.rows; i0 += tile) {
        const std::size_t i1 = std::min(i0 + tile, v.rows);
        for (std::size_t j0 = 0; j0 < v.cols; j0 += tile) {
            const std::size_t j1 = std::min(j0 + tile, v.cols);
            for (std::size_t i = i0; i < i1; ++i) {
                double* row = out + i * v.cols;
                for (std::size_t j = j0; j < j1; ++j) row[j] = v(i, j);
            }
        }
    }
}

}  // namespace

// ---- Loan ----

Loan::Loan() : state_(std::make_shared<detail::LoanState>()) {}
Loan::~Loan() { state_->open.store(false); }

Str Loan::str(std::string_view text) const { return Str(text, state_); }

VecF64 Loan::vec(std::span<const double> values) const { return VecF64(values, state_); }

MatF64 Loan::strided(const double* data, std::size_t rows, std::size_t cols,
                     std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) const {
    return MatF64(data, rows, cols, row_stride, col_stride, state_);
}

// ---- VecF64 ----

veltra::VecView VecF64::view() const {
    const auto v = values();
    return {v.data(), v.size(), 1};
}

// ---- MatF64 ----

std::vector<double> ColMajorData::into_vector() && {
    if (gathered_) return std::move(owned_);
    return std::vector<double>(borrowed_.begin(), borrowed_.end());
}

MatF64 MatF64::col_major_owned(std::size_t rows, std::size_t cols, std::vector<double> data) {
    return MatF64(Form::ColMajor, rows, cols, std::move(data));
}

MatF64 MatF64::row_major_owned(std::size_t rows, std::size_t cols, std::vector<double> data) {
    return MatF64(Form::RowMajor, rows, cols, std::move(data));
}

MatF64 MatF64::from_row_major(std::span<const double> data, std::size_t rows, std::size_t cols) {
    const std::size_t n = checked_count(rows, cols);
    internal_check(data.size() >= n, "row-major data shorter than rows * cols");
    std::vector<double> out(n);
    gather_row_major(veltra::MatView::row_major(data.data(), rows, cols).transposed(), out.data());
    return col_major_owned(rows, cols, std::move(out));
}

MatF64 MatF64::from_mat(Eigen::Ref<const Eigen::MatrixXd, 0, Eigen::OuterStride<>> m) {
    const auto rows = static_cast<std::size_t>(m.rows());
    const auto cols = static_cast<std::size_t>(m.cols());
    std::vector<double> out(checked_count(rows, cols));
    for (std::size_t j = 0; j < cols; ++j)
        for (std::size_t i = 0; i < rows; ++i)
            out[i + j * rows] = m(to_index(i), to_index(j));
    return col_major_owned(rows, cols, std::move(out));
}

MatF64 MatF64::adopt(Eigen::MatrixXd&& m) {
    const auto rows = static_cast<std::size_t>(m.rows());
    const auto cols = static_cast<std::size_t>(m.cols());
    return MatF64(Form::ColMajor, rows, cols, std::move(m));
}

std::span<const double> MatF64::stored() const {
    if (const auto* v = std::get_if<std::vector<double>>(&owned_)) return *v;
    const auto& m = std::get<Eigen::MatrixXd>(owned_);
    return {m.data(), static_cast<std::size_t>(m.size())};
}

void MatF64::check_owned_size() const {
    const auto n = element_count(rows_, cols_);
    internal_check(n.has_value() && *n == stored().size(), "assertion failed: size == Some(len)");
}

veltra::MatView MatF64::as_mat() const {
    switch (form_) {
        case Form::Strided:
            check_loan(loan_);
            return {data_, rows_, cols_, row_stride_, col_stride_};
        case Form::ColMajor:
            check_owned_size();
            return veltra::MatView::col_major(stored().data(), rows_, cols_);
        case Form::RowMajor:
            check_owned_size();
            return veltra::MatView::row_major(stored().data(), rows_, cols_);
    }
    internal_failure("unknown matrix form");
}

ColMajorData MatF64::col_major() const {
    ColMajorData out;
    if (form_ == Form::ColMajor) {
        check_owned_size();
        out.borrowed_ = stored();
        return out;
    }
    const veltra::MatView v = as_mat();
    out.gathered_ = true;
    out.owned_.resize(checked_count(rows_, cols_));
    // Column-major order of v is row-major order of its transpose.
    gather_row_major(v.transposed(), out.owned_.data());
    return out;
}

void MatF64::copy_row_major(std::span<double> out) const {
    const veltra::MatView v = as_mat();
    internal_check(out.size() == checked_count(rows_, cols_), "row-major buffer does not fit the matrix");
    // A large result goes to fresh memory, where the kernel clears every page
    // on its first write; that costs more than the copy itself, so the rows are
    // cut into fixed parts written in parallel, on the pool the settings allow.
    constexpr std::size_t parallel_from = std::size_t{1} << 18;
    if (out.size() < parallel_from) {
        gather_row_major(v, out.data());
        return;
    }
    const auto done = veltra::run_entry([&]() -> veltra::Result<void> {
        veltra::for_each_part(veltra::par_parallel, v.rows, [&](std::size_t, veltra::IndexSpan part) {
            const veltra::MatView rows{v.data + static_cast<std::ptrdiff_t>(part.begin) * v.row_stride,
                                       part.size(), v.cols, v.row_stride, v.col_stride};
            gather_row_major(rows, out.data() + part.begin * v.cols);
        });
        return {};
    });
    // Settings made unreadable since the call began: the calling thread alone.
    if (!done) gather_row_major(v, out.data());
}

MatF64 MatF64::into_owned() && {
    if (form_ != Form::Strided) return std::move(*this);
    return col_major_owned(rows_, cols_, col_major().into_vector());
}

std::vector<double> MatF64::take_data() && {
    internal_check(form_ != Form::Strided, "a strided view has no buffer of its own");
    std::vector<double> out;
    if (auto* v = std::get_if<std::vector<double>>(&owned_)) {
        out = std::move(*v);
    } else {
        const auto values = stored();
        out.assign(values.begin(), values.end());
    }
    owned_ = std::vector<double>();
    rows_ = 0;
    cols_ = 0;
    return out;
}

// ---- Record ----

Record::Record() = default;
Record::~Record() = default;
Record::Record(Record&&) noexcept = default;
Record& Record::operator=(Record&&) noexcept = default;

Record Record::typed(std::string_view type_name) {
    Record r;
    r.type_name_ = std::string(type_name);
    return r;
}

std::span<const Field> Record::fields() const { return fields_; }
std::span<Field> Record::fields() { return fields_; }
std::vector<Field> Record::into_fields() && { return std::move(fields_); }
std::size_t Record::size() const { return fields_.size(); }
bool Record::empty() const { return fields_.empty(); }

const Value* Record::find(std::string_view name) const {
    for (const Field& f : fields_)
        if (f.name == name) return &f.value;
    return nullptr;
}

Value* Record::find(std::string_view name) {
    for (Field& f : fields_)
        if (f.name == name) return &f.value;
    return nullptr;
}

BindResult<void> Record::push(std::string_view name, Value value) {
    if (find(name) != nullptr)
        return std::unexpected(BindError::invalid_argument("duplicate key '" + std::string(name) + "'"));
    fields_.push_back(Field{std::string(name), std::move(value)});
    return {};
}

void Record::set(std::string_view name, Value value) {
    if (Value* existing = find(name)) {
        *existing = std::move(value);
        return;
    }
    fields_.push_back(Field{std::string(name), std::move(value)});
}

Record Record::field(std::string_view name, Value value) && {
    fields_.push_back(Field{std::string(name), std::move(value)});
    return std::move(*this);
}

Record Record::clone() const {
    Record r;
    r.type_name_ = type_name_;
    r.fields_.reserve(fields_.size());
    for (const Field& f : fields_) r.fields_.push_back(Field{f.name, f.value.clone()});
    return r;
}

Record Record::into_owned() && {
    for (Field& f : fields_) f.value = std::move(f.value).into_owned();
    return std::move(*this);
}

bool Record::is_fully_owned() const {
    for (const Field& f : fields_)
        if (!f.value.is_fully_owned()) return false;
    return true;
}

// ---- Value ----

Value Value::clone() const {
    return std::visit(
        [](const auto& v) -> Value {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Str> || std::is_same_v<T, VecF64> ||
                          std::is_same_v<T, MatF64> || std::is_same_v<T, Record>) {
                return Value(v.clone());
            } else if constexpr (std::is_same_v<T, List>) {
                List out;
                out.reserve(v.size());
                for (const Value& e : v) out.push_back(e.clone());
                return Value(std::move(out));
            } else {
                return Value(Data(std::in_place_type<T>, v));
            }
        },
        data_);
}

Value Value::into_owned() && {
    if (auto* s = get_if<Str>()) return Value(std::move(*s).into_owned());
    if (auto* v = get_if<VecF64>()) return Value(std::move(*v).into_owned());
    if (auto* m = get_if<MatF64>()) return Value(std::move(*m).into_owned());
    if (auto* r = get_if<Record>()) return Value(std::move(*r).into_owned());
    if (auto* l = get_if<List>()) {
        for (Value& e : *l) e = std::move(e).into_owned();
    }
    return std::move(*this);
}

bool Value::is_fully_owned() const {
    if (auto* s = get_if<Str>()) return !s->is_borrowed();
    if (auto* v = get_if<VecF64>()) return !v->is_borrowed();
    if (auto* m = get_if<MatF64>()) return !m->is_borrowed();
    if (auto* r = get_if<Record>()) return r->is_fully_owned();
    if (auto* l = get_if<List>()) {
        for (const Value& e : *l)
            if (!e.is_fully_owned()) return false;
    }
    return true;
}

}  // namespace veltra::bind
