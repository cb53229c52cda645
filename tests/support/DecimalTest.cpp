#include "support/Decimal.h"

#include <gtest/gtest.h>

namespace {

struct DecimalCase {
    const char* text;
    bool accepted;
    std::uint64_t value;  // when accepted
};

class DecimalTest : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(DecimalTest, AcceptsOnlyPlainDigitsThatFit)
{
    const DecimalCase& c = GetParam();
    std::uint64_t value = 7;
    EXPECT_EQ(c.accepted, parseDecimal(c.text, value)) << c.text;
    EXPECT_EQ(c.accepted ? c.value : 7u, value) << "a refused text leaves the value alone";
}

INSTANTIATE_TEST_SUITE_P(Texts, DecimalTest,
                         ::testing::Values(DecimalCase{"0", true, 0}, DecimalCase{"0042", true, 42},
                                           DecimalCase{"18446744073709551615", true, 18446744073709551615u},
                                           DecimalCase{"18446744073709551616", false, 0},
                                           DecimalCase{"", false, 0}, DecimalCase{"-1", false, 0},
                                           DecimalCase{"+1", false, 0}, DecimalCase{" 1", false, 0},
                                           DecimalCase{"1 ", false, 0}, DecimalCase{"1a", false, 0}));

}  // namespace
