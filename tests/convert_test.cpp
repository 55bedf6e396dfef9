#include "platform/Convert.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>

#include "platform/Error.h"

using namespace dormex::platform;

namespace {

// isNumber false: TextToFloat must refuse the text; otherwise it must give `value`.
struct FloatCase {
    std::string text;
    bool isNumber;
    long double value;
};

void expectFloats(const std::string& separator, const std::vector<FloatCase>& cases) {
    for (const FloatCase& c : cases) {
        SCOPED_TRACE("\"" + c.text.substr(0, 40) + "\" with separator \"" + separator + "\"");
        long double value = -12345;
        ASSERT_EQ(TextToFloat(c.text, separator, value), c.isNumber);
        if (c.isNumber) {
            EXPECT_LE(std::fabs(value - c.value), std::fabs(c.value) * 1e-15L);
        }
    }
}

template <typename Call>
void expectError(Call call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no error, expected " << message;
    } catch (const dormex::Error& e) {
        EXPECT_STREQ(e.what(), message.c_str());
    }
}

}  // namespace

TEST(TextToFloat, SyntaxAndExtendedRange) {
    // clang-format off
    expectFloats(".", {
        {"0", true, 0}, {".", true, 0}, {"-.", true, 0}, {".e", true, 0}, {"-2", true, -2},
        {"+3", true, 3}, {"2.5e1", true, 25}, {"2.5E-1", true, 0.25L}, {"5.", true, 5},
        {"   7  ", true, 7}, {"007.0100", true, 7.01L}, {"1e", true, 1}, {"5E+", true, 5},
        {"1e0000000000000003", true, 1000}, {"1e4932", true, 1e4932L}, {"1e-4999", true, 0},
        {"0.01e4934", true, 1e4932L}, {"-1e-4940", true, -1e-4940L},
        {"", false, 0}, {" ", false, 0}, {"+", false, 0}, {"e5", false, 0}, {"1..2", false, 0},
        {"--1", false, 0}, {"- 1", false, 0}, {"1 2", false, 0}, {"\t1", false, 0},
        {"1e+-2", false, 0}, {"0x10", false, 0}, {"inf", false, 0}, {"1,5", false, 0},
        {std::string("1\0", 2), false, 0}, {"1e4933", false, 0}, {"-1.2e4932", false, 0},
        {"1e5000", false, 0}, {"1e-5000", false, 0},
        // 100 kB of digits: exact scaling, no overflow of the digit count, no slowness.
        {"1" + std::string(100000, '0') + "e-499", false, 0},
        {"0." + std::string(100000, '0') + "1e-499", true, 0},
        {"11" + std::string(4931, '0'), true, 1.1e4932L},
        {"0." + std::string(100000, '3'), true, 1.0L / 3}});
    expectFloats(",", {{"2,5", true, 2.5L}, {"-1,25e2", true, -125}, {"2.5", false, 0}});
    expectFloats("\xC2\xB7", {{"3\xC2\xB7" "5", true, 3.5L}, {"3\xC2", false, 0}});
    // clang-format on
}

// The process's LC_NUMERIC must not change a reading; StrToBool follows its separator.
TEST(TextToFloat, IgnoresProcessNumericLocale) {
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 not installed";
    long double value = 0;
    const bool read = TextToFloat("2.5e1", ".", value);
    const bool comma = StrToBool("0,5");
    EXPECT_THROW(StrToBool("0.5"), dormex::Error);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_TRUE(read && value == 25);
    EXPECT_TRUE(comma);
}

TEST(StrToBool, NumbersThenWordsElseError) {
    for (const char* text : {"0", "0.0", ".", "-0", "1e-4999", "false", "FALSE", "fAlSe"})
        EXPECT_FALSE(StrToBool(text)) << text;
    for (const char* text : {"1", "-2", "2.5e1", "1e", "5E+", " 3 ", "true", "TRUE", "tRuE"})
        EXPECT_TRUE(StrToBool(text)) << text;
    for (const std::string text : {"yes", "1e5000", "1e4933", "", "+", "-", " ", " true", "T"})
        expectError([&] { StrToBool(text); }, "'" + text + "' is not a valid boolean value");
}

TEST(StrToInt, DecimalAndHexWithin32Bits) {
    struct Case {
        std::string text;
        std::int32_t value;
    };
    // clang-format off
    for (const Case& c : std::vector<Case>{
             {"12", 12}, {" 12", 12}, {"   -7", -7}, {"+5", 5}, {"2147483647", INT32_MAX},
             {"-2147483648", INT32_MIN}, {std::string(100000, '0') + "42", 42}, {"$1f", 31},
             {"0x1F", 31}, {"0X1f", 31}, {"x1F", 31}, {"X10", 16}, {"$000000001", 1},
             {"$80000000", INT32_MIN}, {"$FFFFFFFF", -1}, {"-$10", -16},
             {"-$80000000", INT32_MIN}, {"-$FFFFFFFF", 1}, {" -0x1", -1}}) {
        // clang-format on
        std::int32_t value = 12345;
        EXPECT_TRUE(TryStrToInt(c.text, value) && value == c.value) << c.text;
        EXPECT_EQ(StrToInt(c.text), c.value) << c.text;
    }
    // clang-format off
    for (const std::string& text : std::vector<std::string>{
             "", "0x", "$", "x", "-$", "--5", "- 5", "+-5", "12 ", "\t12", "1e3", "12a", "0x1G",
             "$-1", "00x1", "2147483648", "-2147483649", "4294967295", "$100000000",
             "1" + std::string(100000, '0'), std::string("12\0", 3)}) {
        // clang-format on
        std::int32_t value = 0;
        EXPECT_FALSE(TryStrToInt(text, value)) << text;
        expectError([&] { StrToInt(text); }, "'" + text + "' is not a valid integer value");
    }
}
