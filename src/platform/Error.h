#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace dormex {

// The program's one error type: an exception carrying a message text.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An error that ends the whole run where it is raised: no guard handles it on its way, so it
// reaches the start-up, which reports it and ends the program with status 1.
class RunStopped : public Error {
public:
    using Error::Error;
};

// The message of the exception being handled; call only inside a catch block. A std::exception
// gives what(), anything else a fixed text, so no exception type escapes a boundary unreported.
std::string CurrentExceptionMessage();

// Runs `body`; any exception it throws, of any type, is handed to `onError` as its message,
// except RunStopped, which passes on. True when `body` completed. The one guard every boundary
// of the program uses.
bool Guarded(const std::function<void()>& body,
             const std::function<void(const std::string& message)>& onError);

}  // namespace dormex
