#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// The site object library as the program sees it: the access-control system's objects, reached
// through plain interfaces. Every method returns a status code (negative = failure) and gives its
// results through out-parameters. A failing method first publishes a description with
// SetErrorInfo. The program turns a negative status into an Error at once (see OleError.h).
namespace dormex::site {

using Status = std::int32_t;

constexpr Status kOk = 0;
constexpr Status kFail = static_cast<Status>(0x80004005u);         // E_FAIL
constexpr Status kNoInterface = static_cast<Status>(0x80004002u);  // E_NOINTERFACE
constexpr Status kInvalidArg = static_cast<Status>(0x80070057u);   // E_INVALIDARG
constexpr Status kBadIndex = static_cast<Status>(0x8002000Bu);     // DISP_E_BADINDEX

inline bool failed(Status s) {
    return s < 0;
}

// Base of every object the library hands out. Callers ask for an interface with dynamic_cast.
class Object {
public:
    virtual ~Object() = default;
};
using ObjectPtr = std::shared_ptr<Object>;

// A value of a recordset field or of Item's result. A Decimal is an exact number (a NUMERIC or
// DECIMAL column) given as its decimal text, e.g. "-12345678901234567" or "12.50".
struct Variant {
    enum class Type { Empty, Null, Integer, Int64, Double, Boolean, OleStr, Dispatch, Decimal };
    Type type = Type::Empty;
    std::int64_t integer = 0;  // Integer, Int64, Boolean (0 or 1)
    double real = 0;           // Double
    std::u16string text;       // OleStr; Decimal: its digits (see splitDecimal)
    ObjectPtr object;          // Dispatch

    static Variant null() { return make(Type::Null); }
    static Variant fromInt64(std::int64_t v) {
        Variant r = make(Type::Int64);
        r.integer = v;
        return r;
    }
    static Variant fromDouble(double v) {
        Variant r = make(Type::Double);
        r.real = v;
        return r;
    }
    static Variant fromText(std::u16string v) {
        Variant r = make(Type::OleStr);
        r.text = std::move(v);
        return r;
    }
    static Variant fromDecimal(std::u16string digits) {
        Variant r = make(Type::Decimal);
        r.text = std::move(digits);
        return r;
    }
    static Variant fromObject(ObjectPtr o) {
        Variant r = make(Type::Dispatch);
        r.object = std::move(o);
        return r;
    }

private:
    static Variant make(Type t) {
        Variant r;
        r.type = t;
        return r;
    }
};

// Name of a variant type as error messages show it ("Null", "OleStr", "Dispatch", ...).
const char* variantTypeName(Variant::Type type);

// A decimal number's parts: "-0012.50" gives negative, whole "12" (no leading zeros, empty for
// zero) and fraction "50" (as written).
struct DecimalParts {
    bool negative = false;
    std::string whole;
    std::string fraction;
};
// Splits `text` written as an optional sign, digits and an optional '.' with digits (at least one
// digit in all: ".5" and "5." count). False, leaving `parts` unspecified, for anything else.
bool splitDecimal(std::u16string_view text, DecimalParts& parts);

// The rows of one statement. Reading is forward only.
class Recordset : public Object {
public:
    static constexpr std::int32_t kStateOpen = 1;
    // Bit kStateOpen is set when the recordset holds rows to read.
    virtual Status State(std::int32_t& state) = 0;
    virtual Status FieldCount(std::int32_t& count) = 0;
    virtual Status FieldName(std::int32_t index, std::u16string& name) = 0;
    // True once the current position is past the last row (at once for no rows).
    virtual Status Eof(bool& eof) = 0;
    virtual Status MoveNext() = 0;
    // Value of column `index` (from 0) in the current row.
    virtual Status Value(std::int32_t index, Variant& value) = 0;
};

// One key card. The five operations, called in this order, deactivate it.
class Card : public Object {
public:
    virtual Status SetActive(std::int32_t active) = 0;        // operation A
    virtual Status SetCardStatus(std::int32_t status) = 0;    // operation B
    virtual Status SetStatusReason(std::int32_t reason) = 0;  // operation C
    virtual Status Save() = 0;                                // operation D
    virtual Status QueueDownload(std::int32_t a, std::int32_t b,
                                 std::int32_t c) = 0;  // operation E
};

class CardCollection : public Object {
public:
    virtual Status Count(std::int32_t& count) = 0;
    // Item number `index`, counting from 1, as a variant holding the card object.
    virtual Status Item(std::int32_t index, Variant& card) = 0;
};

// The creatable top-level object. One instance serves one use and is released after it.
class TopLevelObject : public Object {
public:
    // Runs `sql`; `result` is a Recordset (possibly not open), or null for no result at all.
    virtual Status RunSql(const std::u16string& sql, ObjectPtr& result) = 0;
    // Cards with `keyNumber`; `facility` -1 means any facility. `result` is a CardCollection.
    virtual Status FindKeycards(std::int32_t facility, std::int64_t keyNumber,
                                ObjectPtr& result) = 0;
};

// Creates a TopLevelObject. On failure returns a negative status (after SetErrorInfo).
using CreateFunction = std::function<Status(ObjectPtr& result)>;

// The error information of the calling thread, as a failing method publishes it.
void SetErrorInfo(const std::u16string& description);
// Takes the published description and clears it. False when none was published.
bool GetErrorInfo(std::u16string& description);

}  // namespace dormex::site
