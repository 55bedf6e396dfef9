#pragma once

#include <cstdint>
#include <string>

#include "platform/Error.h"
#include "site/SiteLibrary.h"

namespace dormex::site {

// An error from the site object library: the message and the failed call's status code.
class SiteError : public Error {
public:
    SiteError(const std::string& message, Status status) : Error(message), m_status(status) {}
    Status status() const { return m_status; }

private:
    Status m_status;
};

// Removes trailing blanks, control characters and periods.
std::string TrimErrorText(const std::string& text);

// The system's text for a well-known status code, or empty text when there is none.
std::string SystemErrorText(Status status);

// The message for a failed call: the published description (trimmed), else the system's text for
// the code (trimmed; longer than 255 characters counts as none), else "OLE error %.8X".
// Takes (clears) the published description.
std::string OleErrorMessage(Status status);

// Throws SiteError(OleErrorMessage(status), status) when `status` is negative.
void OleCheck(Status status);

// Creates a top-level object through `create`; a failure throws as OleCheck does, and so does a
// creator that reports success but gives back no TopLevelObject.
std::shared_ptr<TopLevelObject> CreateTopLevelObject(const CreateFunction& create);

// The object as interface T; throws Error("Interface not supported") when it is not one.
// A null object gives null.
template <class T>
std::shared_ptr<T> QueryInterface(const ObjectPtr& object) {
    if (!object) return nullptr;
    auto result = std::dynamic_pointer_cast<T>(object);
    if (!result) throw Error("Interface not supported");
    return result;
}

// The card held by a variant from Item: null for a Dispatch variant holding nothing; throws
// Error("Could not convert variant of type (<type>) into type (Dispatch)") for other variants and
// "Interface not supported" for an object that is not a card.
std::shared_ptr<Card> VariantToCard(const Variant& value);

}  // namespace dormex::site
