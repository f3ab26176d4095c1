#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "veltra/error.hpp"
#include "veltra/text.hpp"

using veltra::VeltraError;

TEST(ErrorDisplay, TemplatesWithThePayload) {
    // The templates that neither the fit and transform tests nor the adapter
    // refusals reach.
    EXPECT_EQ(VeltraError(VeltraError::ConvergenceFailure{500, 1e-6}).display(),
              "NIPALS did not converge after 500 iterations (tol=0.000001)");
    EXPECT_EQ(VeltraError(VeltraError::Internal{"x"}).display(), "internal error: x");
    EXPECT_EQ(VeltraError(VeltraError::InvalidArgs{"varimax", "bad"}).display(),
              "invalid args for method 'varimax': bad");
    EXPECT_EQ(VeltraError(VeltraError::PermNullDegenerate{60, 100}).display(),
              "permutation null degenerate: 60/100 null fits failed (NaN). The p-value would be "
              "dominated by the conservative NaN-as-exceedance rule rather than the data. Likely "
              "causes: `k` too large for `n`, or a pathological weight vector. Lower `k` or "
              "check the inputs.");
}

TEST(ErrorDisplay, RatesPrintWithThreeDecimals) {
    const auto text =
        VeltraError(VeltraError::ResamplingDegenerate{25, 100, 0.25, 0.2}).display();
    EXPECT_TRUE(text.starts_with(
              "Resampling degenerate: 25/100 draws (skip_rate=0.250) failed per-subsample "
              "validation, exceeding `max_skip_rate` (threshold=0.200)"));
    EXPECT_NE(text.find("conditions \xE2\x80\x94 surviving"), std::string::npos);
    EXPECT_TRUE(text.ends_with("to accept the truncation knowingly."));
    EXPECT_EQ(VeltraError(VeltraError::ResampleFailureRateExceeded{0.1, 0.125, 0.5, 5, 20, 40})
                  .display(),
              "resample failure rate exceeded: observed_holdout_corr=0.500 (= 20/40), "
              "observed_worker=0.125 (= 5/40), max_failure_rate=0.100");
}

TEST(ErrorDisplay, AlphaNeverInExponentForm) {
    auto text = [](double a) { return VeltraError(VeltraError::SequenceNoRejection{a}).display(); };
    const std::string tail =
        " (all p-values >= alpha). Call pls1_find_k_sequence directly and pass an explicit "
        "integer k to fit anyway.";
    EXPECT_EQ(text(1e-7),
              "no component to fit: pls1_find_k_sequence rejected no component at alpha "
              "0.0000001" + tail);
}

// Every code in tag order is checked where the binding layer maps the kinds.
TEST(ErrorCodes, ByTagFromTheSameTable) {
    EXPECT_EQ(veltra::error_code_of_tag(0), "dimension_mismatch");
    EXPECT_EQ(veltra::error_code_of_tag(VeltraError::kind_count - 1), "sequence_no_rejection");
    testing::internal::CaptureStderr();
    EXPECT_THROW(veltra::error_code_of_tag(VeltraError::kind_count), veltra::InternalFailure);
    testing::internal::GetCapturedStderr();
}

TEST(InternalFailure, ThrowsWithTheMessage) {
    testing::internal::CaptureStderr();
    try {
        veltra::internal_failure("broken invariant");
        FAIL();
    } catch (const veltra::InternalFailure& e) {
        EXPECT_STREQ(e.what(), "broken invariant");
    }
    const auto report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("test_error.cpp"), std::string::npos);
    EXPECT_NE(report.find("broken invariant"), std::string::npos);
}

TEST(FormatReal, ShortestPositional) {
    // 1e-7 is in AlphaNeverInExponentForm, 0.05 in the adapter refusals.
    using veltra::format_real;
    EXPECT_EQ(format_real(5.0), "5");
    EXPECT_EQ(format_real(1e-6), "0.000001");
    EXPECT_EQ(format_real(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(format_real(1e23), "100000000000000000000000");
    EXPECT_EQ(format_real(123.456), "123.456");
    EXPECT_EQ(format_real(-2.5), "-2.5");
    EXPECT_EQ(format_real(0.0), "0");
    EXPECT_EQ(format_real(-0.0), "-0");
    EXPECT_EQ(format_real(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(format_real(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(format_real(-std::numeric_limits<double>::infinity()), "-inf");
    const auto tiny = format_real(5e-324);
    EXPECT_EQ(tiny.size(), 2 + 323 + 1);
    EXPECT_TRUE(tiny.ends_with("05"));
    // Reads back exactly.
    for (double x : {1.0 / 3.0, 2.0 / 3.0 * 1e10, 9007199254740993.0, 1.7976931348623157e308})
        EXPECT_EQ(std::stod(format_real(x)), x);
}

TEST(FormatExp, ShortestDigitsBareExponent) {
    using veltra::format_exp;
    const std::pair<double, const char*> cases[] = {
        {1.5e-7, "1.5e-7"}, {6000.0, "6e3"},     {100.0, "1e2"},
        {0.0, "0e0"},       {-0.0, "-0e0"},      {-2.5e300, "-2.5e300"},
        {0.1 + 0.2, "3.0000000000000004e-1"},    {std::nan(""), "NaN"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& [x, text] : cases) EXPECT_EQ(format_exp(x), text);
}

TEST(FormatRate3, RoundsTheExactValue) {
    using veltra::format_rate3;
    EXPECT_EQ(format_rate3(0.25), "0.250");
    EXPECT_EQ(format_rate3(1.0), "1.000");
    EXPECT_EQ(format_rate3(0.0625), "0.062");  // exact tie, to even
    EXPECT_EQ(format_rate3(0.0005), "0.001");  // 0.0005 is slightly above the tie in binary
    EXPECT_EQ(format_rate3(0.0), "0.000");
}

TEST(DebugQuoted, EscapesLikeThePythonPrintableRule) {
    using veltra::debug_quoted;
    EXPECT_EQ(debug_quoted(""), "\"\"");
    EXPECT_EQ(debug_quoted(" 4"), "\" 4\"");
    EXPECT_EQ(debug_quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(debug_quoted(std::string("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
    EXPECT_EQ(debug_quoted("\x1b"), "\"\\u{1b}\"");
    EXPECT_EQ(debug_quoted("\x7f"), "\"\\u{7f}\"");
    EXPECT_EQ(debug_quoted("\xC2\xA0"), "\"\\u{a0}\"");        // no-break space: Zs
    EXPECT_EQ(debug_quoted("\xE2\x80\x8B"), "\"\\u{200b}\"");  // zero-width space: Cf
    EXPECT_EQ(debug_quoted("\xC3\xA9\xE2\x82\xAC"), "\"\xC3\xA9\xE2\x82\xAC\"");  // é€ printable
    EXPECT_EQ(debug_quoted("\xFF" "a\xC3"), "\"\\xffa\\xc3\"");  // invalid bytes
    EXPECT_EQ(debug_quoted("\xED\xA0\x80"), "\"\\xed\\xa0\\x80\"");  // encoded surrogate
}
