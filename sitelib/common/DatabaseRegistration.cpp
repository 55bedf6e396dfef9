#include "DatabaseRegistration.h"

#include <stdexcept>

#include "platform/Error.h"
#include "platform/Profile.h"

namespace dormex::standin {

int DatabaseRegistration::portNumber() const {
    if (port.empty()) return -1;
    size_t used = 0;
    long value = 0;
    try {
        value = std::stol(port, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != port.size() || value < 1 || value > 65535)
        throw Error("Invalid Port '" + port + "' in " + file);
    return static_cast<int>(value);
}

DatabaseRegistration readDatabaseRegistration(const std::string& programDir) {
    DatabaseRegistration registration;
    registration.file = programDir + kRegistrationFile;
    auto read = [&](const char* key) {
        return platform::ProfileRead(registration.file, kRegistrationSection, key);
    };
    registration.driver = read("Driver");
    registration.database = read("Database");
    registration.host = read("Host");
    registration.port = read("Port");
    registration.user = read("User");
    registration.password = read("Password");
    registration.options = read("Options");
    return registration;
}

}  // namespace dormex::standin
