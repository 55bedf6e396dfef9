#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "site/SiteLibrary.h"

namespace dormex::site {

// A forward-only reader over one recordset. Fields are matched by name ignoring ASCII case.
// Errors carry the cursor's name, a colon and a blank before the message.
class TResultCursor {
public:
    // One column of the current row.
    class Field {
    public:
        // NULL gives empty text; integers, decimals and whole reals up to 2^53 their exact
        // digits; other reals 15 significant digits; characters as UTF-8.
        std::string AsString() const;
        // NULL gives 0. Integral text, decimals with no fraction but zeros, and whole reals read
        // as their exact value; anything else, or beyond 64 bits, throws an Error naming the
        // column.
        std::int64_t AsInteger() const;

    private:
        friend class TResultCursor;
        Field(const TResultCursor* cursor, std::int32_t index, std::string name)
            : m_cursor(cursor), m_index(index), m_name(std::move(name)) {}
        Variant value() const;
        const TResultCursor* m_cursor;
        std::int32_t m_index;
        std::string m_name;
    };

    explicit TResultCursor(std::string name = "ADODataSet1") : m_name(std::move(name)) {}

    // Closes any earlier binding, then opens on `recordset`. A null recordset leaves the cursor
    // closed (at end, no error). A recordset that is not open throws "Recordset is not open".
    void Bind(const ObjectPtr& recordset);
    void Close();

    bool Active() const { return m_recordset != nullptr; }
    bool AtEnd() const { return m_atEnd; }
    void Next();
    std::int32_t FieldCount() const { return static_cast<std::int32_t>(m_fields.size()); }
    Field FieldAt(std::int32_t index) const;
    // Throws "Field '<name>' not found" for a name that is not a column.
    Field FieldByName(const std::string& name) const;

private:
    [[noreturn]] void fail(const std::string& message) const;

    std::string m_name;
    std::shared_ptr<Recordset> m_recordset;
    std::vector<std::string> m_fields;
    bool m_atEnd = true;
};

}  // namespace dormex::site
