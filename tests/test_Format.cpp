#include "config/Format.hpp"

#include <gtest/gtest.h>

#include <functional>

using config::Format;

TEST(Format, KeepsTheFormatsOfTheSystemTexts)
{
    EXPECT_EQ(Format("%.2d%.2d%.2d%.2d%.2d%.2d", 7, 8, 9, 24, 3, 5), "070809240305");
    EXPECT_EQ(Format("WHERE number = %f", 12345.0), "WHERE number = 12345.00");
    EXPECT_EQ(Format("%f|%.3f|%8f|%.0f", 0.125, 1.5, 2.0, 2.5), "0.12|1.500|    2.00|2");
    EXPECT_EQ(Format("%s%d%s", std::string("dadid"), 3, ".log"), "dadid3.log");
    EXPECT_EQ(Format("100%% of %d", 4), "100% of 4");
    EXPECT_EQ(Format("%ld and %x", 10L, 255), "10 and ff");
}

TEST(Format, WrongArgumentTypeIsAnErrorNotGarbage)
{
    struct TCase {
        const char* what;
        std::function<std::string()> call;
    };
    const TCase cases[] = {
        {"number expected, text given", [] { return Format("%d", "abc"); }},
        {"text expected, number given", [] { return Format("%s", 12); }},
        {"integer expected, float given", [] { return Format("%d", 1.5); }},
        {"float expected, integer given", [] { return Format("%f", 3); }},
        {"argument missing", [] { return Format("%d %d", 1); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW(c.call(), config::TFormatError);
    }
}

TEST(Format, FloatToStrGivesTheShortestGeneralForm)
{
    struct TCase {
        double value;
        const char* text;
    };
    const TCase cases[] = {
        {12345.0, "12345"},
        {123456789012345.0, "123456789012345"},
        {0.5, "0.5"},
        {0.0, "0"},
        {-2.25, "-2.25"},
        {0.00001, "0.00001"},
        {0.000001, "1E-6"},
        {1e15, "1E15"},
        {1.5e20, "1.5E20"},
        {1.0 / 3.0, "0.333333333333333"},
        {4294967295.0, "4294967295"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(config::FloatToStr(c.value), c.text);
    }
}
