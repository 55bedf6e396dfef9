#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "site/SiteLibrary.h"

namespace dormex::site {

// A forward-only reader over one recordset. Fields are matched by name ignoring ASCII case.
// Errors of its own carry the cursor's name, a colon and a blank before the message; the
// recordset's pass on as they are.
class TResultCursor {
public:
    // One column of the current row.
    class Field {
    public:
        // NULL gives empty text.
        std::string AsString() const;
        // NULL gives 0; a value that is no whole number within 64 bits throws an Error naming
        // the column.
        std::int64_t AsInteger() const;

    private:
        friend class TResultCursor;
        Field(const TResultCursor* cursor, std::int32_t index) : m_cursor(cursor), m_index(index) {}
        [[noreturn]] void unreadable() const;
        const std::string& name() const;
        const TResultCursor* m_cursor;
        std::int32_t m_index;
    };

    explicit TResultCursor(std::string name = "ADODataSet1") : m_name(std::move(name)) {}

    // Closes any earlier binding, then opens on `recordset`. A null recordset leaves the cursor
    // closed (at end, no error). A recordset that is not open throws "Recordset is not open".
    void Bind(std::shared_ptr<Recordset> recordset);
    void Close();

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
