// Fuzzes the row text over rows of text, integer, null, real, decimal and boolean columns, their
// texts made as the site libraries make them: the row text is "," and the column's text per column
// with control characters blanked, and nothing else. The texts also go through the UTF-8/UTF-16
// converter's round trips.
#include <fuzzer/FuzzedDataProvider.h>
#include <locale.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Entries.h"
#include "FakeSite.h"
#include "FuzzCheck.h"
#include "platform/Utf.h"
#include "site/FieldText.h"
#include "site/TResultCursor.h"
#include "uDormex.h"

namespace {

using dormex::platform::LoneSurrogates;
using dormex::platform::toUtf16;
using dormex::platform::toUtf8;
using dormex::site::FieldValue;

// One fuzzed value, with the text AsString must give when it is fixed by the value's type.
struct Column {
    FieldValue value;
    std::optional<std::string> text;
};

Column makeColumn(FuzzedDataProvider& in) {
    Column c;
    switch (in.ConsumeIntegralInRange(0, 6)) {
        case 0:
            c.value = dormex::site::NullValue();
            c.text = "";
            break;
        case 1: {
            c.value = dormex::site::IntegerValue(in.ConsumeIntegral<std::int32_t>());
            c.text = c.value.text;
            break;
        }
        case 2:
            c.value = dormex::site::IntegerValue(in.ConsumeIntegral<std::int64_t>());
            c.text = std::to_string(*c.value.integer);
            break;
        case 3: {
            // Any bit pattern: NaNs, infinities and subnormals included.
            const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
            double real;
            std::memcpy(&real, &bits, sizeof real);
            c.value = dormex::site::RealValue(real);
            break;
        }
        case 4: {
            c.value = dormex::site::BooleanValue(in.ConsumeBool());
            c.text = c.value.text;
            break;
        }
        case 5: {
            // Digits, signs and points: a whole number of plain digits prints as it is.
            static const char kUnits[] = "0123456789-+.";
            std::string digits(in.ConsumeIntegralInRange<size_t>(0, 30), '0');
            for (char& unit : digits) unit = kUnits[in.ConsumeIntegralInRange<size_t>(0, 12)];
            if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos &&
                (digits[0] != '0' || digits.size() == 1))
                c.text = digits;
            c.value = dormex::site::DecimalValue(digits);
            break;
        }
        default: {
            std::u16string text(in.ConsumeIntegralInRange<size_t>(0, 40), u'\0');
            for (char16_t& unit : text) unit = in.ConsumeIntegral<char16_t>();
            c.text = toUtf8(text);
            // Any UTF-16 text survives a round trip that keeps lone surrogates; what replaces
            // them is well-formed and survives any round trip.
            require(toUtf16(toUtf8(text, LoneSurrogates::Keep), LoneSurrogates::Keep) == text,
                    "UTF-16 comes back from a round trip keeping lone surrogates", *c.text);
            require(toUtf8(toUtf16(*c.text)) == *c.text, "well-formed UTF-8 comes back", *c.text);
            c.value = dormex::site::TextValue(*c.text);
            break;
        }
    }
    return c;
}

std::string blanked(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
    return text;
}

size_t commas(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == ',';
    return n;
}

}  // namespace

// "C" numeric locale: reals are written with ".".
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setlocale(LC_ALL, "C");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    auto recordset = std::make_shared<dormex::test::FakeRecordset>();
    const int columnCount = in.ConsumeIntegralInRange(1, 8);
    const int rowCount = in.ConsumeIntegralInRange(1, 3);
    for (int i = 0; i < columnCount; ++i)
        recordset->names.push_back(in.ConsumeRandomLengthString(12));
    std::vector<std::vector<Column>> columns(static_cast<size_t>(rowCount));
    for (auto& row : columns) {
        dormex::test::FakeRow values;
        for (int i = 0; i < columnCount; ++i) {
            row.push_back(makeColumn(in));
            values.push_back(row.back().value);
        }
        recordset->rows.push_back(std::move(values));
    }

    dormex::site::TResultCursor cursor;
    cursor.Bind(recordset);
    for (const auto& row : columns) {
        require(!cursor.AtEnd() && cursor.FieldCount() == columnCount, "the cursor is on a row",
                "");
        dormex::entry::CardRow card;
        card.fields = dormex::RowFields(cursor);
        const std::string text = dormex::entry::rowText(card);
        std::string expected;
        size_t valueCommas = 0;
        for (int i = 0; i < columnCount; ++i) {
            const std::string value = cursor.FieldAt(i).AsString();
            const Column& column = row[static_cast<size_t>(i)];
            require(!column.text || value == *column.text, "AsString gives the value's text",
                    value);
            expected += "," + blanked(value);
            valueCommas += commas(value);
        }
        for (unsigned char c : text)
            require(c >= 32 && c != 127, "no control character in the row text", text);
        require(!text.empty() && text[0] == ',', "the row text starts with a comma", text);
        require(commas(text) == static_cast<size_t>(columnCount) + valueCommas,
                "one comma per column plus the values' commas", text);
        require(text == expected, "the row text is \",\" and the blanked text per column", text);
        cursor.Next();
    }
    require(cursor.AtEnd(), "the cursor ends after the last row", "");
    return 0;
}
