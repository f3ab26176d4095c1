#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include <Eigen/Core>

#include "veltra/bind/error.hpp"
#include "veltra/bind/value.hpp"
#include "veltra/error.hpp"

using namespace veltra::bind;

namespace {

std::vector<double> col_major_of(const MatF64& m) {
    const auto d = m.col_major();
    return std::vector<double>(d.values().begin(), d.values().end());
}

std::vector<double> read_by_view(const MatF64& m) {
    const veltra::MatView v = m.as_mat();
    std::vector<double> out;
    for (std::size_t j = 0; j < v.cols; ++j)
        for (std::size_t i = 0; i < v.rows; ++i) out.push_back(v(i, j));
    return out;
}

}  // namespace

TEST(Record, DuplicatePushFailsAndKeepsTheFirstValue) {
    Record r;
    ASSERT_TRUE(r.push("a", Value::int64(1)).has_value() && r.push("b", Value::int64(2)).has_value());
    const auto dup = r.push("a", Value::int64(3));
    ASSERT_FALSE(dup.has_value());
    EXPECT_TRUE(dup.error().code == "invalid_argument" && dup.error().details.empty());
    EXPECT_EQ(dup.error().message, "duplicate key 'a'");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(*r.find("a")->get_if<std::int64_t>(), 1);
    // Names compare by their exact bytes.
    EXPECT_TRUE(r.push("A", Value()).has_value() && r.push("a ", Value()).has_value());
}

TEST(Record, SetReplacesInPlaceOrAppends) {
    Record r = Record().field("a", Value::int64(1)).field("b", Value::int64(2));
    r.set("a", Value::string("x"));
    r.set("c", Value::boolean(true));
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r.fields()[0].value.get_if<Str>()->view(), "x");
    EXPECT_TRUE(r.fields()[0].name == "a" && r.fields()[1].name == "b" && r.fields()[2].name == "c");
    EXPECT_FALSE(r.type_name().has_value());
    EXPECT_EQ(Record::typed("CIScalar").field("point", Value::real(1)).type_name(), "CIScalar");
}

TEST(Value, KindsInTagOrder) {
    Value values[] = {Value(), Value::boolean(true), Value::int64(-1), Value::uint64(1),
                      Value::real(1), Value::string("s"), Value(VecF64()), Value(MatF64()),
                      Value(IntMap{}), Value(IntVec{}), Value(BoolVec{}), Value(Record()),
                      Value(List{})};
    for (int k = 0; k < 13; ++k) EXPECT_EQ(static_cast<int>(values[k].kind()), k);
    EXPECT_EQ(static_cast<int>(Kind::List), 12);
}

TEST(MatF64, FromRowMajorKeepsNoMoreThanItsShape) {
    // The element order is in GathersAcrossTileEdges.
    const std::vector<double> longer = {1, 2, 3, 4, 5, 6, 7}, shorter = {1, 2, 3, 4, 5};
    const MatF64 m = MatF64::from_row_major(longer, 2, 3);
    EXPECT_EQ(m.form(), MatF64::Form::ColMajor);
    EXPECT_EQ(col_major_of(m), (std::vector<double>{1, 4, 2, 5, 3, 6}));
    EXPECT_TRUE(m.col_major().is_borrowed());  // column-major data is not copied
    EXPECT_EQ(m.col_major().values().data(), m.as_mat().data);
    EXPECT_THROW(MatF64::from_row_major(shorter, 2, 3), veltra::InternalFailure);
}

TEST(MatF64, ThreeFormsReadTheSameElements) {
    const std::vector<double> rm = {1, 2, 3, 4, 5, 6};  // 2 x 3, row by row
    const MatF64 row = MatF64::row_major_owned(2, 3, rm);
    EXPECT_TRUE(row.as_mat().row_stride == 3 && row.as_mat().col_stride == 1);
    const MatF64 col = MatF64::col_major_owned(2, 3, {1, 4, 2, 5, 3, 6});
    EXPECT_TRUE(col.as_mat().row_stride == 1 && col.as_mat().col_stride == 2);

    Loan loan;
    const MatF64 view = loan.strided(rm.data(), 2, 3, 3, 1);
    const std::vector<double> expected = {1, 4, 2, 5, 3, 6};
    for (const MatF64* m : {&row, &col, &view}) {
        EXPECT_EQ(col_major_of(*m), expected);
        EXPECT_EQ(read_by_view(*m), expected);
    }
    EXPECT_FALSE(row.col_major().is_borrowed());
    EXPECT_FALSE(view.col_major().is_borrowed());
    EXPECT_EQ(view.as_mat().data, rm.data());  // a view is read in place
}

TEST(MatF64, NegativeStridesReadBackwards) {
    // Storage 0..5 as 2 x 3 row-major; the view flips both axes.
    const std::vector<double> buf = {0, 1, 2, 3, 4, 5};
    Loan loan;
    const MatF64 flipped = loan.strided(buf.data() + 5, 2, 3, -3, -1);
    // flipped(i, j) = buf[5 - 3i - j]
    EXPECT_EQ(col_major_of(flipped), (std::vector<double>{5, 2, 4, 1, 3, 0}));
    const MatF64 owned = flipped.clone().into_owned();
    EXPECT_EQ(owned.form(), MatF64::Form::ColMajor);
    EXPECT_EQ(col_major_of(owned), col_major_of(flipped));

    // A zero stride repeats one row.
    const MatF64 repeated = loan.strided(buf.data(), 3, 2, 0, 1);
    EXPECT_EQ(col_major_of(repeated), (std::vector<double>{0, 0, 0, 1, 1, 1}));
}

TEST(MatF64, OwnedDataOfTheWrongLengthIsABrokenInvariant) {
    const MatF64 col = MatF64::col_major_owned(2, 2, {1, 2, 3});
    const MatF64 row = MatF64::row_major_owned(2, 2, {1, 2, 3, 4, 5});
    for (const MatF64* m : {&col, &row}) {
        try {
            (void)m->as_mat();
            ADD_FAILURE() << "expected a failure";
        } catch (const veltra::InternalFailure& e) {
            EXPECT_STREQ(e.what(), "assertion failed: size == Some(len)");
        }
        EXPECT_THROW((void)m->col_major(), veltra::InternalFailure);
    }
    EXPECT_EQ(row.owned_len(), 5u);
    EXPECT_THROW((void)MatF64::col_major_owned(SIZE_MAX, 2, {}).as_mat(), veltra::InternalFailure);
}

TEST(MatF64, FromMatDropsColumnPadding) {
    Eigen::MatrixXd big(4, 3);
    big << 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12;
    // The top 2 x 3 block has column stride 4.
    const MatF64 m = MatF64::from_mat(big.topRows(2));
    EXPECT_EQ(m.rows(), 2u);
    EXPECT_EQ(m.owned_len(), 6u);
    EXPECT_EQ(col_major_of(m), (std::vector<double>{1, 4, 2, 5, 3, 6}));
}

TEST(MatF64, FromAnEngineMatrixTakesItsStorage) {
    Eigen::MatrixXd m(3, 2);
    m << 1, 4, 2, 5, 3, 6;
    const double* storage = m.data();
    MatF64 adopted = MatF64::adopt(std::move(m));
    EXPECT_EQ(adopted.form(), MatF64::Form::ColMajor);
    EXPECT_EQ(adopted.as_mat().data, storage);
    EXPECT_EQ(adopted.col_major().values().data(), storage);
    EXPECT_EQ(col_major_of(adopted.clone()), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(std::move(adopted).take_data(), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    Loan loan;
    const double x = 1;
    EXPECT_THROW(loan.strided(&x, 1, 1, 1, 1).take_data(), veltra::InternalFailure);
}

// Shapes around the tile size of the gathers: element (i, j) against its definition.
TEST(MatF64, GathersAcrossTileEdges) {
    for (auto [r, c] : {std::pair<std::size_t, std::size_t>{1, 70}, {70, 1}, {33, 65}, {64, 32}}) {
        std::vector<double> rm(r * c);
        for (std::size_t k = 0; k < rm.size(); ++k) rm[k] = static_cast<double>(k);
        const MatF64 col = MatF64::from_row_major(rm, r, c);
        const MatF64 row = MatF64::row_major_owned(r, c, rm);
        std::vector<double> expected_col(r * c);
        for (std::size_t i = 0; i < r; ++i)
            for (std::size_t j = 0; j < c; ++j) expected_col[i + j * r] = rm[i * c + j];
        EXPECT_EQ(col_major_of(col), expected_col);
        EXPECT_EQ(col_major_of(row), expected_col);
        std::vector<double> back(r * c);
        col.copy_row_major(back);
        EXPECT_EQ(back, rm);
    }
}

TEST(Ownership, CloneStaysBorrowedIntoOwnedCopiesEverything) {
    std::vector<double> y = {1, 2, 3};
    std::vector<double> x = {1, 2, 3, 4};
    std::string text = "abc";
    Loan loan;
    Record inner;
    inner.set("y", loan.vec(y));
    inner.set("X", loan.strided(x.data(), 2, 2, 2, 1));
    inner.set("name", loan.str(text));
    List list;
    list.push_back(Value(inner.clone()));
    list.push_back(Value(IntVec{1, 2}));
    Record outer;
    outer.set("items", std::move(list));
    outer.set("first", Value(std::move(inner)));

    const Value v(std::move(outer));
    EXPECT_FALSE(v.is_fully_owned());
    const Value copy = v.clone();
    EXPECT_FALSE(copy.is_fully_owned());
    const auto* copy_y = copy.get_if<Record>()->find("first")->get_if<Record>()->find("y")->get_if<VecF64>();
    EXPECT_TRUE(copy_y->is_borrowed());
    EXPECT_EQ(copy_y->values().data(), y.data());

    Value owned = v.clone().into_owned();
    EXPECT_TRUE(owned.is_fully_owned());
    const Record& o = *owned.get_if<Record>();
    EXPECT_EQ(o.fields()[0].name, "items");
    const List& items = *o.find("items")->get_if<List>();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_TRUE(items[0].kind() == Kind::Record && items[1].kind() == Kind::IntVec);
    const Record& first = *o.find("first")->get_if<Record>();
    const auto* oy = first.find("y")->get_if<VecF64>();
    EXPECT_TRUE(!oy->is_borrowed() && oy->values().data() != y.data());
    EXPECT_EQ(std::vector<double>(oy->values().begin(), oy->values().end()), y);
    const auto* oX = first.find("X")->get_if<MatF64>();
    EXPECT_EQ(oX->form(), MatF64::Form::ColMajor);
    EXPECT_EQ(col_major_of(*oX), (std::vector<double>{1, 3, 2, 4}));
    EXPECT_TRUE(first.find("name")->get_if<Str>()->view() == "abc" &&
                !first.find("name")->get_if<Str>()->is_borrowed());
}

TEST(Ownership, BorrowedValuesCannotBeReadAfterTheLoanEnds) {
    std::vector<double> y = {1, 2};
    std::optional<Value> escaped_vec, escaped_mat, escaped_str;
    Value kept;
    {
        Loan loan;
        escaped_vec.emplace(loan.vec(y));
        escaped_mat.emplace(loan.strided(y.data(), 1, 2, 2, 1));
        escaped_str.emplace(loan.str("text"));
        kept = Value(loan.vec(y)).into_owned();
    }
    EXPECT_THROW((void)escaped_vec->get_if<VecF64>()->values(), veltra::InternalFailure);
    EXPECT_THROW((void)escaped_vec->clone().into_owned(), veltra::InternalFailure);
    EXPECT_THROW((void)escaped_mat->get_if<MatF64>()->as_mat(), veltra::InternalFailure);
    EXPECT_THROW((void)escaped_str->get_if<Str>()->view(), veltra::InternalFailure);
    // What was made owned inside the call survives it.
    EXPECT_EQ(kept.get_if<VecF64>()->values()[1], 2.0);
    // Sizes need no read of the memory.
    EXPECT_EQ(escaped_vec->get_if<VecF64>()->size(), 2u);
}
