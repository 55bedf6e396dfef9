#pragma once

#include <string>

// Where the stand-in site libraries find their database: section [Database] of "SiteLibrary.ini"
// beside the program, read by the platform's profile reader (byte-order marks, UTF-16 files and
// long paths included) the same way on every system.
namespace dormex::standin {

inline const char* const kRegistrationFile = "SiteLibrary.ini";
inline const char* const kRegistrationSection = "Database";
// The SQLite file when Database is empty, relative to the program directory.
inline const char* const kDefaultSqliteFile = "site.db";

// The keys of [Database] as written (trimmed, quotes removed); empty when the file or key is
// missing. What Driver, Database and Options mean is each library's own.
struct DatabaseRegistration {
    std::string file;  // the file read, for messages
    std::string driver;
    std::string database;
    std::string host;
    std::string port;
    std::string user;
    std::string password;
    std::string options;

    // Port as a number, -1 when empty. Anything but a whole number from 1 to 65535 throws
    // Error("Invalid Port '<text>' in <file>").
    int portNumber() const;
};

// Reads [Database] of `programDir` + "SiteLibrary.ini" (`programDir` ends with a separator).
DatabaseRegistration readDatabaseRegistration(const std::string& programDir);

}  // namespace dormex::standin
