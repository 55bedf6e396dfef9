// The program's side of the site library: its messages, the result cursor, values as text and
// integer, UTF-16.
#include <gtest/gtest.h>

#include <limits>

#include "FakeSite.h"
#include "TestSupport.h"
#include "platform/Utf.h"
#include "site/FieldText.h"
#include "site/TResultCursor.h"

namespace dormex::site {
namespace {

TEST(SiteError, MessagesLoseTrailingBlanksControlCharactersAndPeriods) {
    const std::pair<const char*, const char*> cases[] = {
        {"Trigger says no.", "Trigger says no"},
        {"Trailing junk . . \r\n\t ", "Trailing junk"},
        {"Inner. Periods stay.", "Inner. Periods stay"},
        {" ...", ""},
        {"N\xc3\xa4me \xc3\xbc"
         "bel\x7f",
         "N\xc3\xa4me \xc3\xbc"
         "bel"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(TrimErrorText(text), message) << text;
}

std::shared_ptr<test::FakeRecordset> recordset(std::vector<std::string> names,
                                               std::vector<test::FakeRow> rows) {
    return std::make_shared<test::FakeRecordset>(std::move(names), std::move(rows));
}

TEST(ResultCursor, ReadsRowsFieldsAndNullsAndKeepsOneBinding) {
    TResultCursor cursor;
    cursor.Bind(recordset({"KeyNumber", "LastName", "flags"},
                          {{IntegerValue(5000000000), NullValue(), NullValue()},
                           {IntegerValue(-3), TextValue("O'Neil"), IntegerValue(2097152)}}));
    ASSERT_FALSE(cursor.AtEnd());
    EXPECT_EQ(cursor.FieldCount(), 3);
    EXPECT_EQ(cursor.FieldAt(0).AsInteger(), 5000000000);
    EXPECT_EQ(cursor.FieldAt(0).AsString(), "5000000000");
    EXPECT_EQ(cursor.FieldByName("lastname").AsString(), "");
    EXPECT_EQ(cursor.FieldByName("FLAGS").AsInteger(), 0);
    cursor.Next();
    EXPECT_EQ(cursor.FieldAt(0).AsInteger(), -3);
    EXPECT_EQ(cursor.FieldByName("LASTNAME").AsString(), "O'Neil");
    cursor.Next();
    EXPECT_TRUE(cursor.AtEnd());
    cursor.Next();
    EXPECT_TRUE(cursor.AtEnd());

    // A binding replaces the one before; a closed or no recordset leaves the cursor empty.
    cursor.Bind(recordset({"a"}, {}));
    EXPECT_TRUE(cursor.AtEnd()) << "no rows: at end at once";
    EXPECT_EQ(cursor.FieldCount(), 1);

    cursor.Bind(recordset({"first"}, {{IntegerValue(1)}}));
    cursor.Bind(recordset({"second"}, {{IntegerValue(2)}}));
    EXPECT_EQ(cursor.FieldAt(0).AsInteger(), 2);
    EXPECT_THROW(cursor.FieldByName("first"), Error) << "the earlier binding is gone";

    auto closed = recordset({"a"}, {{IntegerValue(1)}});
    closed->open = false;
    EXPECT_EQ(test::failureOf<Error>([&] { cursor.Bind(closed); }),
              "ADODataSet1: Recordset is not open");
    EXPECT_EQ(cursor.FieldCount(), 0);
    EXPECT_TRUE(cursor.AtEnd());

    cursor.Bind(recordset({"a"}, {{IntegerValue(1)}}));
    cursor.Bind(nullptr);
    EXPECT_EQ(cursor.FieldCount(), 0);
    EXPECT_TRUE(cursor.AtEnd());
    EXPECT_EQ(test::failureOf<Error>([&] { cursor.FieldByName("missing"); }),
              "ADODataSet1: Field 'missing' not found");
}

TEST(ResultCursor, IntegerAndTextReadingOfOddValues) {
    struct Case {
        site::FieldValue v;
        bool ok;
        std::int64_t value;
        std::string text;
    };
    std::vector<Case> cases = {
        {RealValue(4096.0), true, 4096, "4096"},
        {RealValue(17.0), true, 17, "17"},
        {RealValue(-0.0), true, 0, "0"},
        {RealValue(9007199254740992.0), true, 9007199254740992, "9007199254740992"},
        {RealValue(-9007199254740992.0), true, -9007199254740992, "-9007199254740992"},
        {RealValue(9007199254740994.0), true, 9007199254740994, "9.00719925474099e+15"},
        {RealValue(-9223372036854775808.0), true, INT64_MIN, "-9.22337203685478e+18"},
        {RealValue(2.5), false, 0, "2.5"},
        {RealValue(-0.5), false, 0, "-0.5"},
        {RealValue(1e300), false, 0, "1e+300"},
        {RealValue(9223372036854775808.0), false, 0, "9.22337203685478e+18"},
        {RealValue(std::numeric_limits<double>::infinity()), false, 0, "inf"},
        {RealValue(std::numeric_limits<double>::quiet_NaN()), false, 0, "nan"},
        {DecimalValue("12.000"), true, 12, "12.000"},
        {DecimalValue("+007."), true, 7, "7"},
        {DecimalValue("-0.00"), true, 0, "0.00"},
        {DecimalValue("00000000000000000000001"), true, 1, "1"},
        {DecimalValue("-.001"), false, 0, "-0.001"},
    };
    // Text and decimal values that read as written: integers, and what is no integer.
    for (std::int64_t n : {std::int64_t{17}, INT64_MIN})
        cases.push_back({TextValue(std::to_string(n)), true, n, std::to_string(n)});
    for (std::int64_t n :
         {std::int64_t{9007199254740993}, std::int64_t{-12345678901234567}, INT64_MAX, INT64_MIN})
        cases.push_back({DecimalValue(std::to_string(n)), true, n, std::to_string(n)});
    for (const char* text : {"9223372036854775808", " 17", "", "1e3"})
        cases.push_back({TextValue(text), false, 0, text});
    for (const char* text : {"9223372036854775808", "-9223372036854775809", "100000000000000000000",
                             "12.50", "1e3", "1.2.3", "-", ".", "", "NaN"})
        cases.push_back({DecimalValue(text), false, 0, text});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TResultCursor cursor;
        cursor.Bind(recordset({"v"}, {{c.v}}));
        EXPECT_EQ(cursor.FieldAt(0).AsString(), c.text);
        if (c.ok) {
            EXPECT_EQ(cursor.FieldAt(0).AsInteger(), c.value);
        } else {
            const std::string error =
                test::failureOf<Error>([&] { cursor.FieldAt(0).AsInteger(); });
            EXPECT_NE(error.find("for field 'v'"), std::string::npos) << error;
            EXPECT_EQ(error.rfind("ADODataSet1: ", 0), 0u);
        }
    }
}

TEST(Utf, RoundTripsAndReplacesInvalidSequences) {
    const std::pair<std::string, std::u16string> roundTrips[] = {
        {"plain", u"plain"},
        {"\xc3\xa4\xe2\x82\xac", u"\u00e4\u20ac"},
        {"\xf0\x9f\x94\x91", u"\U0001F511"}};
    for (const auto& [utf8, utf16] : roundTrips) {
        EXPECT_EQ(platform::toUtf16(utf8), utf16);
        EXPECT_EQ(platform::toUtf8(utf16), utf8);
    }
    EXPECT_EQ(platform::toUtf16("a\xff"
                                "b"),
              u"a\uFFFDb");
    EXPECT_EQ(platform::toUtf16("\xc3"), u"\uFFFD");
    EXPECT_EQ(platform::toUtf16("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD")
        << "encoded surrogates are invalid";
    EXPECT_EQ(platform::toUtf16("\xc0\xaf"), u"\uFFFD\uFFFD") << "overlong forms are invalid";
    EXPECT_EQ(platform::toUtf8(u"\xD800x"), "\xef\xbf\xbdx");
    EXPECT_EQ(platform::toUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    // Profile files keep lone surrogates, so that any UTF-16 file's text survives a rewrite.
    EXPECT_EQ(platform::toUtf16("\xed\xa0\x80", platform::LoneSurrogates::Keep), u"\xD800");
    EXPECT_EQ(platform::toUtf8(u"\xDC00x", platform::LoneSurrogates::Keep), "\xed\xb0\x80x");
}

}  // namespace
}  // namespace dormex::site
