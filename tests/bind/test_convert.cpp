#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "veltra/bind/convert.hpp"
#include "veltra/bind/error.hpp"
#include "veltra/bind/result_types.hpp"
#include "bind_test_support.hpp"

using namespace veltra::bind;
using veltra::bind::test_support::message_of;
using veltra::Pls3Model;

namespace {

Pls3Model sample_pls3() {
    Pls3Model m;
    m.U = Eigen::MatrixXd{{0.6, 0.0}, {0.8, 0.0}, {0.0, 1.0}};
    m.V = Eigen::MatrixXd{{1.0, 0.0}, {0.0, -1.0}};
    m.singular_values = Eigen::VectorXd{{3.5, 0.25}};
    m.x_scores = Eigen::MatrixXd{{1, 2}, {3, 4}, {5, 6}, {7, 8}};
    m.y_scores = Eigen::MatrixXd{{-1, 2}, {3, -4}, {5, 6}, {-7, 8}};
    m.X_mean = Eigen::VectorXd{{1, 2, 3}};
    m.X_scale = Eigen::VectorXd{{0.5, 1.5, 2.5}};
    m.Y_mean = Eigen::VectorXd{{-1, 1}};
    m.Y_scale = Eigen::VectorXd{{4, 8}};
    m.k_used = 2;
    m.pre_standardized_X = false;
    m.pre_standardized_Y = true;
    m.keep_X = 2;
    m.keep_Y = std::numeric_limits<std::uint64_t>::max();
    m.converged = std::vector<bool>{true, false};
    m.n_iter = std::vector<std::uint64_t>{3, std::numeric_limits<std::uint64_t>::max()};
    return m;
}

Record record_of(Value v) { return std::move(*v.get_if<Record>()); }

Eigen::MatrixXd mat_of(const Record& r, std::string_view name) {
    return r.find(name)->get_if<MatF64>()->as_mat().eigen();
}

}  // namespace

TEST(ModelRecords, Pls3ResultHasTheTableFieldsInOrder) {
    const Record r = record_of(pls3_model(sample_pls3()));
    ASSERT_EQ(r.type_name(), "PLS3Result");
    const ResultTypeSpec* spec = find_result_type("PLS3Result");
    ASSERT_EQ(r.size(), spec->fields.size());
    for (std::size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r.fields()[i].name, spec->fields[i].name);

    EXPECT_EQ(mat_of(r, "U"), sample_pls3().U);
    EXPECT_EQ(mat_of(r, "y_scores"), sample_pls3().y_scores);
    const auto sv = r.find("singular_values")->get_if<VecF64>()->values();
    EXPECT_EQ(std::vector<double>(sv.begin(), sv.end()), (std::vector<double>{3.5, 0.25}));
    EXPECT_FALSE(r.find("U")->get_if<MatF64>()->is_borrowed());
    EXPECT_TRUE(*r.find("k_used")->get_if<std::int64_t>() == 2 && *r.find("keep_X")->get_if<std::int64_t>() == 2);
    // Counts above the signed range are clamped, not wrapped.
    EXPECT_EQ(*r.find("keep_Y")->get_if<std::int64_t>(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(*r.find("n_iter")->get_if<IntVec>(),
              (IntVec{3, std::numeric_limits<std::int64_t>::max()}));
    EXPECT_EQ(*r.find("converged")->get_if<BoolVec>(), (BoolVec{true, false}));
    EXPECT_EQ(*r.find("pre_standardized_Y")->get_if<bool>(), true);
}

TEST(ModelRecords, DenseModelHasNullSparseFields) {
    Pls3Model m = sample_pls3();
    m.keep_X = m.keep_Y = std::nullopt;
    m.converged.reset();
    m.n_iter.reset();
    const Record r = record_of(pls3_model(m));
    ASSERT_EQ(r.size(), 16u);
    for (const char* name : {"keep_X", "keep_Y", "converged", "n_iter"})
        EXPECT_TRUE(r.find(name)->is_none()) << name;
}

TEST(ModelRecords, Pls3RoundTrip) {
    const Pls3Model m = sample_pls3();
    Record r = record_of(pls3_model(m));
    r.set("note", Value::string("ignored"));
    const auto back = pls3_model_from_record(r.fields());
    ASSERT_TRUE(back.has_value()) << back.error().message;
    for (auto f : {&Pls3Model::U, &Pls3Model::V, &Pls3Model::x_scores, &Pls3Model::y_scores})
        EXPECT_EQ((*back).*f, m.*f);
    for (auto f : {&Pls3Model::singular_values, &Pls3Model::X_mean, &Pls3Model::X_scale,
                   &Pls3Model::Y_mean, &Pls3Model::Y_scale})
        EXPECT_EQ((*back).*f, m.*f);
    EXPECT_TRUE(back->k_used == 2 && !back->pre_standardized_X && back->pre_standardized_Y);
    EXPECT_EQ(back->keep_X, std::optional<std::uint64_t>(2));
    EXPECT_EQ(back->keep_Y, std::optional<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
    EXPECT_FALSE(back->converged.has_value() || back->n_iter.has_value());
    // The record is read, not consumed.
    EXPECT_EQ(mat_of(r, "U"), m.U);
}

TEST(ModelRecords, StorageFormsAndScalarsAreAccepted) {
    Record r = record_of(pls3_model(sample_pls3()));
    // Row-major U, an integer vector, a single number, a whole real count.
    r.set("U", Value(MatF64::row_major_owned(3, 2, {0.6, 0.0, 0.8, 0.0, 0.0, 1.0})));
    r.set("X_mean", Value(IntVec{1, 2, 3}));
    r.set("Y_mean", Value(BoolVec{true, false}));
    r.set("singular_values", Value::real(3.5));
    r.set("k_used", Value::real(2.0));
    r.set("keep_X", Value());
    r.set("converged", Value::string("not read"));
    const auto m = pls3_model_from_record(r.fields());
    ASSERT_TRUE(m.has_value()) << m.error().message;
    EXPECT_TRUE(m->U == sample_pls3().U && m->X_mean == (Eigen::VectorXd{{1, 2, 3}}) &&
                m->Y_mean == (Eigen::VectorXd{{1, 0}}) && m->singular_values == (Eigen::VectorXd{{3.5}}) &&
                m->k_used == 2 && !m->keep_X.has_value());
}

TEST(ModelRecords, ReaderMessages) {
    struct Case {
        const char* field;
        Value value;
        std::string message;
    };
    std::vector<Case> cases;
    cases.push_back({"V", Value(), "model field 'V' is null"});
    cases.push_back({"U", Value::real(1), "model field 'U' must be 2-D, got 0-D"});
    cases.push_back({"U", Value(List{}), "model field 'U' must be a numeric matrix, got a list"});
    cases.push_back({"singular_values", Value(MatF64::col_major_owned(2, 1, {1, 2})),
                     "model field 'singular_values' must be 1-D, got 2-D"});
    cases.push_back({"Y_scale", Value::string("a"),
                     "model field 'Y_scale' must be a numeric vector, got the string \"a\""});
    cases.push_back({"k_used", Value::real(2.5),
                     "model field 'k_used' must be a non-negative whole number, got 2.5"});
    cases.push_back({"pre_standardized_X", Value::int64(1),
                     "model field 'pre_standardized_X' must be a bool, got 1"});
    cases.push_back({"keep_Y", Value::boolean(false),
                     "model field 'keep_Y' must be a non-negative whole number, got false"});
    for (Case& c : cases) {
        Record r = record_of(pls3_model(sample_pls3()));
        r.set(c.field, std::move(c.value));
        EXPECT_EQ(message_of(pls3_model_from_record(r.fields())), c.message) << c.field;
    }
}

TEST(ModelRecords, FirstBadFieldInReadingOrderWins) {
    Record r = record_of(pls3_model(sample_pls3()));
    // keep_X is read last, Y_mean before it, V before both.
    r.set("keep_X", Value::int64(-2));
    r.set("Y_mean", Value::string("bad"));
    EXPECT_EQ(message_of(pls3_model_from_record(r.fields())),
              "model field 'Y_mean' must be a numeric vector, got the string \"bad\"");

    Record missing;
    missing.set("U", Value(MatF64::col_major_owned(1, 1, {1})));
    missing.set("singular_values", Value::string("bad"));
    EXPECT_EQ(message_of(pls3_model_from_record(missing.fields())), "model is missing field 'V'");
}

TEST(ModelRecords, TypeCheck) {
    EXPECT_TRUE(model_record(Value(Record()), "PLS3Result", "model").has_value());
    EXPECT_TRUE(model_record(Value(Record::typed("PLS3Result")), "PLS3Result", "model").has_value());
    EXPECT_EQ(message_of(model_record(Value::real(0.5), "PLS1Result", "model")),
              "model must be a PLS1Result, got 0.5");
    // The record comes back as it was given.
    const auto back = model_record(Value(Record().field("a", Value::int64(1))), "PLS3Result", "model");
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back->find("a")->get_if<std::int64_t>(), 1);
}

namespace {

veltra::Pls1Model sample_pls1() {
    veltra::Pls1Model m;
    m.T = Eigen::MatrixXd{{1, 2}, {3, 4}, {5, 6}};
    m.P = Eigen::MatrixXd{{0.5, 1}, {1.5, 2}};
    m.W = Eigen::MatrixXd{{0.6, -0.8}, {0.8, 0.6}};
    m.Q = Eigen::VectorXd{{2.0, -0.5}};
    m.coef = Eigen::VectorXd{{0.25, 0.75}};
    m.beta = Eigen::VectorXd{{2.5, 7.5}};
    m.intercept = -1.25;
    m.k_used = 2;
    m.pre_standardized = false;
    m.weights = Eigen::VectorXd{{0.5, 1.0, 1.5}};
    m.n_eff = 2.571;
    m.keep = std::numeric_limits<std::size_t>::max();
    return m;
}

}  // namespace

// The field order and values are checked from Python through rotate.
TEST(ModelRecords, Pls1ResultClampsKeepAndCarriesItsRecords) {
    Record selection = Record::typed("FindKSequenceResult").field("k_star", Value::int64(2));
    const Record r = record_of(pls1_model(sample_pls1(), Value(), Value(std::move(selection))));
    ASSERT_EQ(r.type_name(), "PLS1Result");
    EXPECT_EQ(*r.find("keep")->get_if<std::int64_t>(), std::numeric_limits<std::int64_t>::max());
    EXPECT_TRUE(r.find("rotation_spec")->is_none());
    EXPECT_EQ(r.find("selection_result")->get_if<Record>()->type_name(), "FindKSequenceResult");

    veltra::Pls1Model plain = sample_pls1();
    plain.weights.reset();
    plain.keep.reset();
    const Record q = record_of(pls1_model(plain, Value(), Value()));
    EXPECT_TRUE(q.find("weights")->is_none() && q.find("keep")->is_none());
}

// Each field's round trip to the bit is checked from Python through rotate.
TEST(ModelRecords, Pls1RoundTripIgnoresTheRecordOnlyFields) {
    Record r = record_of(pls1_model(sample_pls1(), Value::string("spec"), Value::int64(3)));
    const auto back = pls1_model_from_record(r.fields());
    ASSERT_TRUE(back.has_value()) << back.error().message;
    EXPECT_TRUE(back->weights == sample_pls1().weights);
    EXPECT_EQ(back->keep, std::optional<std::size_t>(std::numeric_limits<std::int64_t>::max()));

    r.set("weights", Value());
    r.set("keep", Value());
    r.set("intercept", Value::uint64(5));
    const auto optional_absent = pls1_model_from_record(r.fields());
    ASSERT_TRUE(optional_absent.has_value());
    EXPECT_TRUE(!optional_absent->weights && !optional_absent->keep && optional_absent->intercept == 5.0);
}

TEST(ModelRecords, Pls1ReaderMessages) {
    Record r = record_of(pls1_model(sample_pls1(), Value(), Value()));
    r.set("intercept", Value::boolean(true));
    EXPECT_EQ(message_of(pls1_model_from_record(r.fields())),
              "model field 'intercept' must be a number, got true");
    r.set("P", Value());  // read before intercept
    EXPECT_EQ(message_of(pls1_model_from_record(r.fields())), "model field 'P' is null");

    Record partial;
    partial.set("T", Value(MatF64::col_major_owned(1, 1, {1})));
    partial.set("P", Value(MatF64::col_major_owned(1, 1, {1})));
    EXPECT_EQ(message_of(pls1_model_from_record(partial.fields())), "model is missing field 'W'");
}

TEST(ResultRecords, BuiltFromTheirRowAndRefusedOffIt) {
    const Record r = result_record("CIScalar", Value::real(0.5), Value::real(0.25),
                                   Value::real(0.75), Value::real(0.125));
    ASSERT_EQ(r.type_name(), "CIScalar");
    const std::vector<std::string> names = {"point", "lower", "upper", "sd"};
    ASSERT_EQ(r.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(r.fields()[i].name, names[i]);
    EXPECT_EQ(*r.find("upper")->get_if<double>(), 0.75);

    // A nullable field takes null; a field that is never null, a missing or
    // extra value, or an unknown type is a broken invariant.
    EXPECT_TRUE(result_record("PLS3Scores", Value(), Value()).find("y_scores")->is_none());
    EXPECT_THROW(result_record("CIScalar", Value::real(0.5), Value(), Value::real(0.75),
                               Value::real(0.125)),
                 veltra::InternalFailure);
    EXPECT_THROW(result_record("CIScalar", Value::real(0.5)), veltra::InternalFailure);
    EXPECT_THROW(result_record("PLS3Scores", Value(), Value(), Value()), veltra::InternalFailure);
    EXPECT_THROW(result_record("NoSuchResult"), veltra::InternalFailure);
}
