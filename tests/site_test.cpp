// The program's side of the site library: failures into errors, the result cursor, UTF-16.
#include <gtest/gtest.h>

#include <limits>

#include "FakeSite.h"
#include "site/OleError.h"
#include "site/TResultCursor.h"
#include "site/Utf.h"

namespace dormex::site {
namespace {

TEST(OleError, MessageComesFromDescriptionThenSystemTextThenCode) {
    struct Case {
        Status status;
        const char16_t* description;  // nullptr: none published
        const char* message;
    } cases[] = {
        {kFail, u"Trigger says no.", "Trigger says no"},
        {kFail, u"Trailing junk . . \r\n\t ", "Trailing junk"},
        {kFail, u"Inner. Periods stay.", "Inner. Periods stay"},
        {kFail, u"", "Unspecified error"},
        {kFail, u" ...", "Unspecified error"},
        {kFail, nullptr, "Unspecified error"},
        {kInvalidArg, nullptr, "The parameter is incorrect"},
        {kBadIndex, nullptr, "Invalid index"},
        {static_cast<Status>(0x80041234u), nullptr, "OLE error 80041234"},
        {static_cast<Status>(0x8badf00du), u"...", "OLE error 8BADF00D"},
        {kFail, u"N\u00e4me \u00fcbel",
         "N\xc3\xa4me \xc3\xbc"
         "bel"},
    };
    for (const auto& c : cases) {
        if (c.description) SetErrorInfo(c.description);
        try {
            OleCheck(c.status);
            FAIL() << c.message;
        } catch (const SiteError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
            EXPECT_EQ(e.status(), c.status);
        }
        std::u16string left;
        EXPECT_FALSE(GetErrorInfo(left)) << "the description is taken once";
    }
    EXPECT_NO_THROW(OleCheck(kOk));
    EXPECT_NO_THROW(OleCheck(1));
}

TEST(OleError, CreationFailuresAndWrongInterfaces) {
    EXPECT_THROW(CreateTopLevelObject(nullptr), SiteError);
    try {
        CreateTopLevelObject([](ObjectPtr& out) {
            out = std::make_shared<test::FakeRecordset>();
            return kOk;
        });
        FAIL();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Interface not supported");
    }
    try {
        CreateTopLevelObject([](ObjectPtr&) {
            SetErrorInfo(u"Site database not found: /p/site.db");
            return kFail;
        });
        FAIL();
    } catch (const SiteError& e) {
        EXPECT_STREQ(e.what(), "Site database not found: /p/site.db");
    }
    EXPECT_THROW(QueryInterface<Card>(std::make_shared<test::FakeRecordset>()), Error);

    struct Case {
        Variant v;
        const char* type;
    } cases[] = {
        {Variant::null(), "Null"},          {Variant(), "Empty"},
        {Variant::fromInt64(3), "Int64"},   {Variant::fromText(u"x"), "OleStr"},
        {Variant::fromDouble(1), "Double"}, {Variant::fromDecimal(u"1"), "Decimal"},
    };
    for (const auto& c : cases) {
        try {
            VariantToCard(c.v);
            FAIL() << c.type;
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Could not convert variant of type (") +
                                                 c.type + ") into type (Dispatch)");
        }
    }
    EXPECT_EQ(VariantToCard(Variant::fromObject(nullptr)), nullptr);
}

std::shared_ptr<test::FakeRecordset> recordset(std::vector<std::string> names,
                                               std::vector<std::vector<Variant>> rows) {
    auto rs = std::make_shared<test::FakeRecordset>();
    rs->names = std::move(names);
    rs->rows = std::move(rows);
    return rs;
}

TEST(ResultCursor, ReadsRowsFieldsAndNulls) {
    TResultCursor cursor;
    cursor.Bind(recordset(
        {"KeyNumber", "LastName", "flags"},
        {{Variant::fromInt64(5000000000), Variant::null(), Variant::null()},
         {Variant::fromInt64(-3), Variant::fromText(u"O'Neil"), Variant::fromInt64(2097152)}}));
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
}

TEST(ResultCursor, IntegerAndTextReadingOfOddValues) {
    struct Case {
        Variant v;
        bool ok;
        std::int64_t value;
        const char* text;
    } cases[] = {
        {Variant::fromText(u"17"), true, 17, "17"},
        {Variant::fromText(u"-9223372036854775808"), true, INT64_MIN, "-9223372036854775808"},
        {Variant::fromText(u"9223372036854775808"), false, 0, "9223372036854775808"},
        {Variant::fromText(u" 17"), false, 0, " 17"},
        {Variant::fromText(u""), false, 0, ""},
        {Variant::fromText(u"1e3"), false, 0, "1e3"},
        {Variant::fromDouble(4096.0), true, 4096, "4096"},
        {Variant::fromDouble(17.0), true, 17, "17"},
        {Variant::fromDouble(-0.0), true, 0, "0"},
        {Variant::fromDouble(9007199254740992.0), true, 9007199254740992, "9007199254740992"},
        {Variant::fromDouble(-9007199254740992.0), true, -9007199254740992, "-9007199254740992"},
        {Variant::fromDouble(9007199254740994.0), true, 9007199254740994, "9.00719925474099e+15"},
        {Variant::fromDouble(-9223372036854775808.0), true, INT64_MIN, "-9.22337203685478e+18"},
        {Variant::fromDouble(2.5), false, 0, "2.5"},
        {Variant::fromDouble(-0.5), false, 0, "-0.5"},
        {Variant::fromDouble(1e300), false, 0, "1e+300"},
        {Variant::fromDouble(9223372036854775808.0), false, 0, "9.22337203685478e+18"},
        {Variant::fromDouble(std::numeric_limits<double>::infinity()), false, 0, "inf"},
        {Variant::fromDouble(std::numeric_limits<double>::quiet_NaN()), false, 0, "nan"},
        {Variant::fromDecimal(u"9007199254740993"), true, 9007199254740993, "9007199254740993"},
        {Variant::fromDecimal(u"-12345678901234567"), true, -12345678901234567,
         "-12345678901234567"},
        {Variant::fromDecimal(u"12.000"), true, 12, "12.000"},
        {Variant::fromDecimal(u"+007."), true, 7, "7"},
        {Variant::fromDecimal(u"-0.00"), true, 0, "0.00"},
        {Variant::fromDecimal(u"9223372036854775807"), true, INT64_MAX, "9223372036854775807"},
        {Variant::fromDecimal(u"-9223372036854775808"), true, INT64_MIN, "-9223372036854775808"},
        {Variant::fromDecimal(u"9223372036854775808"), false, 0, "9223372036854775808"},
        {Variant::fromDecimal(u"-9223372036854775809"), false, 0, "-9223372036854775809"},
        {Variant::fromDecimal(u"00000000000000000000001"), true, 1, "1"},
        {Variant::fromDecimal(u"100000000000000000000"), false, 0, "100000000000000000000"},
        {Variant::fromDecimal(u"12.50"), false, 0, "12.50"},
        {Variant::fromDecimal(u"-.001"), false, 0, "-0.001"},
        {Variant::fromDecimal(u"1e3"), false, 0, "1e3"},
        {Variant::fromDecimal(u"1.2.3"), false, 0, "1.2.3"},
        {Variant::fromDecimal(u"-"), false, 0, "-"},
        {Variant::fromDecimal(u"."), false, 0, "."},
        {Variant::fromDecimal(u""), false, 0, ""},
        {Variant::fromDecimal(u"NaN"), false, 0, "NaN"},
    };
    for (const auto& c : cases) {
        TResultCursor cursor;
        cursor.Bind(recordset({"v"}, {{c.v}}));
        EXPECT_EQ(cursor.FieldAt(0).AsString(), c.text);
        if (c.ok) {
            EXPECT_EQ(cursor.FieldAt(0).AsInteger(), c.value);
        } else {
            try {
                cursor.FieldAt(0).AsInteger();
                FAIL() << cursor.FieldAt(0).AsString();
            } catch (const Error& e) {
                EXPECT_NE(std::string(e.what()).find("for field 'v'"), std::string::npos)
                    << e.what();
                EXPECT_EQ(std::string(e.what()).rfind("ADODataSet1: ", 0), 0u);
            }
        }
    }
}

TEST(ResultCursor, BindingRules) {
    TResultCursor cursor;
    cursor.Bind(recordset({"a"}, {}));
    EXPECT_TRUE(cursor.Active());
    EXPECT_TRUE(cursor.AtEnd()) << "no rows: at end at once";

    cursor.Bind(recordset({"first"}, {{Variant::fromInt64(1)}}));
    cursor.Bind(recordset({"second"}, {{Variant::fromInt64(2)}}));
    EXPECT_EQ(cursor.FieldAt(0).AsInteger(), 2);
    EXPECT_THROW(cursor.FieldByName("first"), Error) << "the earlier binding is gone";

    auto closed = recordset({"a"}, {{Variant::fromInt64(1)}});
    closed->state = 0;
    try {
        cursor.Bind(closed);
        FAIL();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "ADODataSet1: Recordset is not open");
    }
    EXPECT_FALSE(cursor.Active());
    EXPECT_TRUE(cursor.AtEnd());

    cursor.Bind(recordset({"a"}, {{Variant::fromInt64(1)}}));
    cursor.Bind(nullptr);
    EXPECT_FALSE(cursor.Active());
    EXPECT_TRUE(cursor.AtEnd());
    try {
        cursor.FieldByName("missing");
        FAIL();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "ADODataSet1: Field 'missing' not found");
    }
}

TEST(Utf, RoundTripsAndReplacesInvalidSequences) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"plain", u"plain"},
        {"\xc3\xa4\xe2\x82\xac", u"\u00e4\u20ac"},
        {"\xf0\x9f\x94\x91", u"\U0001F511"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toUtf16(c.utf8), c.utf16);
        EXPECT_EQ(toUtf8(c.utf16), c.utf8);
    }
    EXPECT_EQ(toUtf16("a\xff"
                      "b"),
              u"a\uFFFDb");
    EXPECT_EQ(toUtf16("\xc3"), u"\uFFFD");
    EXPECT_EQ(toUtf16("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD") << "encoded surrogates are invalid";
    EXPECT_EQ(toUtf16("\xc0\xaf"), u"\uFFFD\uFFFD") << "overlong forms are invalid";
    EXPECT_EQ(toUtf8(u"\xD800x"), "\xef\xbf\xbdx");
    EXPECT_EQ(toUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    // Profile files keep lone surrogates, so that any UTF-16 file's text survives a rewrite.
    EXPECT_EQ(toUtf16("\xed\xa0\x80", platform::LoneSurrogates::Keep), u"\xD800");
    EXPECT_EQ(toUtf8(u"\xDC00x", platform::LoneSurrogates::Keep), "\xed\xb0\x80x");
}

}  // namespace
}  // namespace dormex::site
