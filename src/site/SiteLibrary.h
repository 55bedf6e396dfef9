#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

// The site object library as the program sees it: the access-control system's objects behind
// plain interfaces. Every failing call throws an Error carrying the library's message, trimmed by
// TrimErrorText; statements and texts are UTF-8.
namespace dormex::site {

// Thrown by Recordset::Value for a value no field gives as text (an object, an array):
// the cursor names the column.
class UnreadableValue : public Error {
public:
    UnreadableValue() : Error("unreadable value") {}
};

// A field's value as the cursor reads it: its text (none for NULL) and its whole number (0 for
// NULL, none when it is no integer within 64 bits). FieldText.h makes them.
struct FieldValue {
    std::optional<std::string> text;
    std::optional<std::int64_t> integer;
};

// The rows of one statement, read forward only.
class Recordset {
public:
    virtual ~Recordset() = default;
    // False for a result that holds no rows to read (a statement that selects nothing).
    virtual bool IsOpen() = 0;
    // The columns' names, in column order.
    virtual std::vector<std::string> FieldNames() = 0;
    // True once the current position is past the last row (at once for no rows).
    virtual bool Eof() = 0;
    virtual void MoveNext() = 0;
    // Column `index` (from 0) of the current row.
    virtual FieldValue Value(std::int32_t index) = 0;
};

// One key card. The five operations, called in this order, deactivate it.
class Card {
public:
    virtual ~Card() = default;
    virtual void SetActive(std::int32_t active) = 0;                                 // operation A
    virtual void SetCardStatus(std::int32_t status) = 0;                             // operation B
    virtual void SetStatusReason(std::int32_t reason) = 0;                           // operation C
    virtual void Save() = 0;                                                         // operation D
    virtual void QueueDownload(std::int32_t a, std::int32_t b, std::int32_t c) = 0;  // E
};

class CardCollection {
public:
    virtual ~CardCollection() = default;
    virtual std::int32_t Count() = 0;
    // The card at item number `index`, counting from 1; null when the library gives none.
    virtual std::shared_ptr<Card> Item(std::int32_t index) = 0;
};

// The creatable top-level object. One instance serves one use and is released after it.
class TopLevelObject {
public:
    virtual ~TopLevelObject() = default;
    // The rows of `sql`; null when the library gives back no result at all.
    virtual std::shared_ptr<Recordset> RunSql(const std::string& sql) = 0;
    // The cards with `keyNumber`; `facility` -1 means any facility. Null when the library gives
    // back no collection.
    virtual std::shared_ptr<CardCollection> FindKeycards(std::int32_t facility,
                                                         std::int64_t keyNumber) = 0;
};

// Creates a TopLevelObject, never null; throws when it cannot.
using CreateFunction = std::function<std::shared_ptr<TopLevelObject>()>;

// `text` without trailing blanks, control characters and periods, as every message of a site
// library is given.
std::string TrimErrorText(const std::string& text);

}  // namespace dormex::site
