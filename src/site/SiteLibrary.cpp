#include "site/SiteLibrary.h"

namespace dormex::site {
namespace {

thread_local bool t_hasErrorInfo = false;
thread_local std::u16string t_errorInfo;

}  // namespace

const char* variantTypeName(Variant::Type type) {
    switch (type) {
        case Variant::Type::Empty:
            return "Empty";
        case Variant::Type::Null:
            return "Null";
        case Variant::Type::Integer:
            return "Integer";
        case Variant::Type::Int64:
            return "Int64";
        case Variant::Type::Double:
            return "Double";
        case Variant::Type::Boolean:
            return "Boolean";
        case Variant::Type::OleStr:
            return "OleStr";
        case Variant::Type::Dispatch:
            return "Dispatch";
        case Variant::Type::Decimal:
            return "Decimal";
    }
    return "Unknown";
}

bool splitDecimal(std::u16string_view text, DecimalParts& parts) {
    parts = DecimalParts{};
    size_t i = 0;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) parts.negative = text[i++] == u'-';
    bool digits = false;
    bool point = false;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'.' && !point) {
            point = true;
        } else if (c >= u'0' && c <= u'9') {
            digits = true;
            std::string& part = point ? parts.fraction : parts.whole;
            if (point || c != u'0' || !part.empty()) part += static_cast<char>(c);
        } else {
            return false;
        }
    }
    return digits;
}

void SetErrorInfo(const std::u16string& description) {
    t_errorInfo = description;
    t_hasErrorInfo = true;
}

bool GetErrorInfo(std::u16string& description) {
    if (!t_hasErrorInfo) return false;
    description = std::move(t_errorInfo);
    t_errorInfo.clear();
    t_hasErrorInfo = false;
    return true;
}

}  // namespace dormex::site
