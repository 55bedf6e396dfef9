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
    }
    return "Unknown";
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
