#pragma once

#include <stdexcept>
#include <string>

namespace dormex {

// The program's one error type: an exception carrying a message text.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace dormex
