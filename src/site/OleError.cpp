#include "site/OleError.h"

#include <cstdio>

#include "site/Utf.h"

namespace dormex::site {
namespace {

struct KnownStatus {
    std::uint32_t code;
    const char* text;
};

// The system's texts for the status codes a site library commonly returns.
constexpr KnownStatus kKnownStatuses[] = {
    {0x80004001u, "Not implemented"},
    {0x80004002u, "No such interface supported"},
    {0x80004003u, "Invalid pointer"},
    {0x80004004u, "Operation aborted"},
    {0x80004005u, "Unspecified error"},
    {0x8000FFFFu, "Catastrophic failure"},
    {0x80010108u, "The object invoked has disconnected from its clients."},
    {0x80020005u, "Type mismatch."},
    {0x8002000Bu, "Invalid index."},
    {0x80040154u, "Class not registered"},
    {0x80070005u, "Access is denied."},
    {0x8007000Eu, "Not enough memory resources are available to complete this operation."},
    {0x80070057u, "The parameter is incorrect."},
    {0x80080005u, "Server execution failed"},
};

constexpr size_t kSystemTextMax = 255;

}  // namespace

std::string TrimErrorText(const std::string& text) {
    size_t end = text.size();
    while (end > 0) {
        unsigned char c = static_cast<unsigned char>(text[end - 1]);
        if (c > ' ' && c != '.' && c != 127) break;
        --end;
    }
    return text.substr(0, end);
}

std::string SystemErrorText(Status status) {
    for (const KnownStatus& known : kKnownStatuses) {
        if (known.code == static_cast<std::uint32_t>(status)) return known.text;
    }
    return {};
}

std::string OleErrorMessage(Status status) {
    std::u16string description;
    if (GetErrorInfo(description)) {
        std::string message = TrimErrorText(toUtf8(description));
        if (!message.empty()) return message;
    }
    std::string system = SystemErrorText(status);
    if (system.size() <= kSystemTextMax) {
        std::string message = TrimErrorText(system);
        if (!message.empty()) return message;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "OLE error %.8X", static_cast<unsigned>(status));
    return buffer;
}

void OleCheck(Status status) {
    if (failed(status)) throw SiteError(OleErrorMessage(status), status);
}

std::shared_ptr<TopLevelObject> CreateTopLevelObject(const CreateFunction& create) {
    ObjectPtr object;
    Status status = create ? create(object) : kFail;
    OleCheck(status);
    auto top = QueryInterface<TopLevelObject>(object);
    if (!top) throw SiteError("Interface not supported", kNoInterface);
    return top;
}

std::shared_ptr<Card> VariantToCard(const Variant& value) {
    if (value.type != Variant::Type::Dispatch) {
        throw Error(std::string("Could not convert variant of type (") +
                    variantTypeName(value.type) + ") into type (Dispatch)");
    }
    return QueryInterface<Card>(value.object);
}

}  // namespace dormex::site
