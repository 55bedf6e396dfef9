#include "site/TResultCursor.h"

#include "platform/Error.h"
#include "platform/Text.h"

namespace dormex::site {

const std::string& TResultCursor::Field::name() const {
    return m_cursor->m_fields[static_cast<size_t>(m_index)];
}

void TResultCursor::Field::unreadable() const {
    m_cursor->fail("Field '" + name() + "' cannot be read as text");
}

std::string TResultCursor::Field::AsString() const {
    try {
        return m_cursor->m_recordset->Value(m_index).text.value_or("");
    } catch (const UnreadableValue&) {
        unreadable();
    }
}

std::int64_t TResultCursor::Field::AsInteger() const {
    std::optional<std::int64_t> value;
    try {
        value = m_cursor->m_recordset->Value(m_index).integer;
    } catch (const UnreadableValue&) {
        unreadable();
    }
    if (value) return *value;
    m_cursor->fail("'" + AsString() + "' is not a valid integer value for field '" + name() + "'");
}

void TResultCursor::Bind(std::shared_ptr<Recordset> recordset) {
    Close();
    if (!recordset) return;
    try {
        if (!recordset->IsOpen()) fail("Recordset is not open");
        m_fields = recordset->FieldNames();
        m_atEnd = recordset->Eof();
        m_recordset = std::move(recordset);
    } catch (...) {
        Close();
        throw;
    }
}

void TResultCursor::Close() {
    m_recordset.reset();
    m_fields.clear();
    m_atEnd = true;
}

void TResultCursor::Next() {
    if (!m_recordset || m_atEnd) return;
    m_recordset->MoveNext();
    m_atEnd = m_recordset->Eof();
}

TResultCursor::Field TResultCursor::FieldAt(std::int32_t index) const {
    if (!m_recordset || index < 0 || index >= FieldCount()) {
        throw Error("List index out of bounds (" + std::to_string(index) + ")");
    }
    return Field(this, index);
}

TResultCursor::Field TResultCursor::FieldByName(const std::string& name) const {
    for (size_t i = 0; i < m_fields.size(); ++i) {
        if (platform::equalsIgnoringAsciiCase(m_fields[i], name))
            return Field(this, static_cast<std::int32_t>(i));
    }
    fail("Field '" + name + "' not found");
}

void TResultCursor::fail(const std::string& message) const {
    throw Error(m_name + ": " + message);
}

}  // namespace dormex::site
