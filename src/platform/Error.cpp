#include "platform/Error.h"

namespace dormex {

std::string CurrentExceptionMessage() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unexpected error of an unknown kind";
    }
}

bool Guarded(const std::function<void()>& body,
             const std::function<void(const std::string& message)>& onError) {
    std::string message;
    try {
        body();
        return true;
    } catch (const RunStopped&) {
        throw;
    } catch (...) {
        message = CurrentExceptionMessage();
    }
    onError(message);
    return false;
}

}  // namespace dormex
