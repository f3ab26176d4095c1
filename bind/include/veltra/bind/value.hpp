// The binding layer's host-neutral values: what a host hands in as arguments
// and what it gets back as results.
//
// Lifetime of borrowed data. Large inputs are not copied: a host lends its
// buffers through a `Loan`, and a `Str`, `VecF64` or strided `MatF64` made by
// the loan reads that memory in place. The host keeps the memory alive and
// the loan open for the length of one call and no longer. Borrowed values
// keep a handle on their loan: once the loan has ended, any attempt to read
// one (its data, a view of it, a copy into owned storage) is an internal
// failure instead of a read of freed memory. Whatever must outlive the call
// is made owned first with `into_owned`. Values are move-only; `clone` is the
// explicit copy, and a clone of a borrowed value still borrows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <Eigen/Core>

#include "veltra/view.hpp"

namespace veltra::bind {

struct BindError;
template <class T>
using BindResult = std::expected<T, BindError>;

class Value;
struct Field;

namespace detail {
struct LoanState;

// Every read of borrowed memory passes here: once the lender has ended the
// call, the memory may be gone (internal failure).
void check_loan(const std::shared_ptr<const LoanState>& loan);

// An owned buffer, or a borrowed view of a host's with the loan that lends
// it: what Str and VecF64 share.
template <class Owned, class View>
class Lendable {
  public:
    bool is_borrowed() const { return loan_ != nullptr; }

  protected:
    Lendable() = default;
    explicit Lendable(Owned owned) : owned_(std::move(owned)) {}
    Lendable(View borrowed, std::shared_ptr<const LoanState> loan)
        : borrowed_(borrowed), loan_(std::move(loan)) {}

    // The data, wherever it is kept.
    View read() const {
        if (!loan_) return owned_;
        check_loan(loan_);
        return borrowed_;
    }
    // The data as an owned buffer: moved when owned, copied when borrowed.
    Owned take() && {
        if (!loan_) return std::move(owned_);
        const View v = read();
        return Owned(v.begin(), v.end());
    }
    std::size_t stored_size() const { return loan_ ? borrowed_.size() : owned_.size(); }

  private:
    Owned owned_;
    View borrowed_;
    std::shared_ptr<const LoanState> loan_;
};
}  // namespace detail

// Lends a host's memory to values for the length of one call. Open from
// construction to destruction; not copyable or movable, so it lives in one
// scope (the host's call frame).
class Loan {
  public:
    Loan();
    ~Loan();
    Loan(const Loan&) = delete;
    Loan& operator=(const Loan&) = delete;

    // Borrowed text; `text` must stay alive while the loan is open.
    class Str str(std::string_view text) const;
    // Borrowed contiguous vector.
    class VecF64 vec(std::span<const double> values) const;
    // Borrowed strided matrix: element (i, j) at data + i*row_stride +
    // j*col_stride (strides in elements, any sign). Every element must stay
    // readable while the loan is open.
    class MatF64 strided(const double* data, std::size_t rows, std::size_t cols,
                         std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) const;

  private:
    std::shared_ptr<detail::LoanState> state_;
};

// UTF-8 text, owned or borrowed from a host. A copy (clone) of a borrowed
// text still borrows.
class Str : public detail::Lendable<std::string, std::string_view> {
  public:
    Str() = default;
    explicit Str(std::string text) : Lendable(std::move(text)) {}

    // The text; reading a borrowed one after its loan ended is an internal failure.
    std::string_view view() const { return read(); }
    std::string into_string() && { return std::move(*this).take(); }
    Str clone() const { return *this; }
    Str into_owned() && { return Str(std::move(*this).take()); }

  private:
    friend class Loan;
    Str(std::string_view text, std::shared_ptr<const detail::LoanState> loan)
        : Lendable(text, std::move(loan)) {}
};

// A real vector, owned or borrowed from a host (always contiguous).
class VecF64 : public detail::Lendable<std::vector<double>, std::span<const double>> {
  public:
    VecF64() = default;
    explicit VecF64(std::vector<double> values) : Lendable(std::move(values)) {}
    static VecF64 copy_of(std::span<const double> values) {
        return VecF64(std::vector<double>(values.begin(), values.end()));
    }

    std::size_t size() const { return stored_size(); }
    // The elements; reading a borrowed vector after its loan ended is an
    // internal failure.
    std::span<const double> values() const { return read(); }
    veltra::VecView view() const;
    // The elements as an owned buffer: moved when owned, copied when borrowed.
    std::vector<double> into_vector() && { return std::move(*this).take(); }
    VecF64 clone() const { return *this; }
    VecF64 into_owned() && { return VecF64(std::move(*this).take()); }

  private:
    friend class Loan;
    VecF64(std::span<const double> values, std::shared_ptr<const detail::LoanState> loan)
        : Lendable(values, std::move(loan)) {}
};

// Column-major data of a matrix: borrowed from a column-major matrix, or
// gathered into a buffer of its own.
class ColMajorData {
  public:
    std::span<const double> values() const { return gathered_ ? std::span<const double>(owned_) : borrowed_; }
    bool is_borrowed() const { return !gathered_; }
    std::vector<double> into_vector() &&;

  private:
    friend class MatF64;
    bool gathered_ = false;
    std::span<const double> borrowed_;
    std::vector<double> owned_;
};

// A real matrix in one of three forms. The owned forms must hold exactly
// rows*cols values; a mismatch is allowed to exist but every read of the
// matrix reports it as an internal failure.
class MatF64 {
  public:
    enum class Form : std::uint8_t { Strided, ColMajor, RowMajor };

    MatF64() : form_(Form::ColMajor) {}
    // Owned data, element (i, j) at data[i + j*rows].
    static MatF64 col_major_owned(std::size_t rows, std::size_t cols, std::vector<double> data);
    // Owned data, element (i, j) at data[i*cols + j]; used only where data
    // already arrives row by row, so that it can be handed on without a copy.
    static MatF64 row_major_owned(std::size_t rows, std::size_t cols, std::vector<double> data);
    // A column-major copy of row-major data (at least rows*cols values).
    static MatF64 from_row_major(std::span<const double> data, std::size_t rows, std::size_t cols);
    // A column-major copy of a dense column-major matrix, padding dropped.
    static MatF64 from_mat(Eigen::Ref<const Eigen::MatrixXd, 0, Eigen::OuterStride<>> m);
    // A column-major matrix that adopts the engine's storage: no element is copied.
    static MatF64 adopt(Eigen::MatrixXd&& m);

    Form form() const { return form_; }
    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    bool is_borrowed() const { return form_ == Form::Strided; }

    // A read-only view of any form, no copy. The view is valid while this
    // matrix is alive and, for a strided one, while its loan is open.
    veltra::MatView as_mat() const;
    // Column-major data: the stored data of a column-major matrix, else a
    // new buffer gathered column by column.
    ColMajorData col_major() const;
    // The elements in row-major order, written into `out` (rows*cols values),
    // whatever the form. This is the one transpose of the binding layer.
    void copy_row_major(std::span<double> out) const;
    // A strided view becomes an owned column-major copy; owned forms are
    // returned as they are.
    MatF64 into_owned() &&;
    // A copy; a copy of a strided view still borrows.
    MatF64 clone() const { return *this; }

    // The stored buffer of an owned form, moved out (the matrix is left
    // empty); for hosts that hand it on without copying. Storage adopted from
    // the engine is copied out instead. A strided view has none: internal
    // failure.
    std::vector<double> take_data() &&;
    // Length of the stored buffer of an owned form (0 for a strided view).
    std::size_t owned_len() const { return form_ == Form::Strided ? 0 : stored().size(); }

  private:
    friend class Loan;
    using Owned = std::variant<std::vector<double>, Eigen::MatrixXd>;
    // An owned form.
    MatF64(Form form, std::size_t rows, std::size_t cols, Owned owned)
        : form_(form), rows_(rows), cols_(cols), owned_(std::move(owned)) {}
    // A strided view of a host's memory.
    MatF64(const double* data, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
           std::ptrdiff_t col_stride, std::shared_ptr<const detail::LoanState> loan)
        : form_(Form::Strided), rows_(rows), cols_(cols), data_(data), row_stride_(row_stride),
          col_stride_(col_stride), loan_(std::move(loan)) {}
    void check_owned_size() const;
    // The values of an owned form, wherever they are kept.
    std::span<const double> stored() const;

    Form form_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    const double* data_ = nullptr;  // strided only
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t col_stride_ = 0;
    // Owned forms: a buffer of their own, or a matrix adopted from the engine.
    Owned owned_;
    std::shared_ptr<const detail::LoanState> loan_;
};

// (key, value) pairs in the order received; keys need be neither unique nor sorted.
using IntMap = std::vector<std::pair<std::int64_t, double>>;
using IntVec = std::vector<std::int64_t>;
using BoolVec = std::vector<bool>;
using List = std::vector<Value>;

// Ordered named values with an optional result-type name. A record with a
// type name is a typed result record; one without is a plain record.
class Record {
  public:
    Record();
    ~Record();
    Record(Record&&) noexcept;
    Record& operator=(Record&&) noexcept;
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    static Record typed(std::string_view type_name);

    const std::optional<std::string>& type_name() const { return type_name_; }
    std::span<const Field> fields() const;
    std::span<Field> fields();
    std::vector<Field> into_fields() &&;
    std::size_t size() const;
    bool empty() const;

    // First field of that exact name, or null.
    const Value* find(std::string_view name) const;
    Value* find(std::string_view name);

    // Appends; a name already present fails with "duplicate key '{}'" and
    // leaves the record unchanged (the offered value is dropped).
    BindResult<void> push(std::string_view name, Value value);
    // Replaces the value of the first field of that name in place (the field
    // keeps its position), or appends a new field.
    void set(std::string_view name, Value value);
    // Builder form: appends without looking for a duplicate. Only for names
    // known to be fresh (result converters with the fixed field lists).
    Record field(std::string_view name, Value value) &&;

    Record clone() const;
    Record into_owned() &&;
    bool is_fully_owned() const;

  private:
    std::optional<std::string> type_name_;
    std::vector<Field> fields_;
};

// The 13 kinds, in tag order.
enum class Kind : std::uint8_t {
    None,
    Bool,
    Int,
    UInt,
    Float,
    Str,
    Vec,
    Mat,
    IntMap,
    IntVec,
    BoolVec,
    Record,
    List,
};

// A count as written into records: signed, clamped to 2^63 - 1.
inline std::int64_t clamp_count(std::uint64_t n) {
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(n > max ? max : n);
}

class Value {
  public:
    using Data = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, Str,
                              VecF64, MatF64, IntMap, IntVec, BoolVec, Record, List>;

    Value() = default;
    Value(Str v) : data_(std::move(v)) {}
    Value(VecF64 v) : data_(std::move(v)) {}
    Value(MatF64 v) : data_(std::move(v)) {}
    Value(IntMap v) : data_(std::move(v)) {}
    Value(IntVec v) : data_(std::move(v)) {}
    Value(BoolVec v) : data_(std::move(v)) {}
    Value(Record v) : data_(std::move(v)) {}
    Value(List v) : data_(std::move(v)) {}

    Value(Value&&) noexcept = default;
    Value& operator=(Value&&) noexcept = default;
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;

    // Scalars are named, never converted implicitly (a bool is not an integer).
    static Value none() { return Value(); }
    static Value boolean(bool b) { return Value(Data(std::in_place_index<1>, b)); }
    static Value int64(std::int64_t i) { return Value(Data(std::in_place_index<2>, i)); }
    static Value uint64(std::uint64_t u) { return Value(Data(std::in_place_index<3>, u)); }
    static Value real(double x) { return Value(Data(std::in_place_index<4>, x)); }
    static Value string(std::string s) { return Value(Str(std::move(s))); }
    // An unsigned count of the engine, clamped into a signed integer.
    static Value count(std::uint64_t n) { return int64(clamp_count(n)); }

    Kind kind() const { return static_cast<Kind>(data_.index()); }
    bool is_none() const { return kind() == Kind::None; }

    // The payload when it has type T (bool, std::int64_t, std::uint64_t,
    // double, Str, VecF64, MatF64, IntMap, IntVec, BoolVec, Record, List).
    template <class T>
    const T* get_if() const {
        return std::get_if<T>(&data_);
    }
    template <class T>
    T* get_if() {
        return std::get_if<T>(&data_);
    }
    const Data& data() const { return data_; }
    Data& data() { return data_; }

    // Independent copy; borrowed data stays borrowed.
    Value clone() const;
    // Fully owned: borrowed text and vectors copied, strided matrices made
    // column-major, records and lists made owned throughout.
    Value into_owned() &&;
    bool is_fully_owned() const;

  private:
    explicit Value(Data d) : data_(std::move(d)) {}
    Data data_;
};

struct Field {
    std::string name;
    Value value;
};

}  // namespace veltra::bind

// BindError's details are a Record: the two headers need each other, and
// whichever is included first brings in the other in the right order.
#include "veltra/bind/error.hpp"
