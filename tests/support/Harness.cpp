#include "support/Harness.h"

#include <QString>

#include "support/Programs.h"

namespace dormex::test {

bool harnessAvailable() {
    return !envOr("DORMEX_PG_HOST").empty();
}

sitelib::ConnectionSettings harnessSettings(sitelib::Driver driver, const std::string& database) {
    sitelib::ConnectionSettings s;
    s.driver = driver;
    const std::string db = database.empty() ? envOr("DORMEX_PG_DB") : database;
    if (driver == sitelib::Driver::Odbc) {
        s.database = "DRIVER={DormexPostgreSQL};SERVER=" + envOr("DORMEX_PG_HOST") +
                     ";PORT=" + envOr("DORMEX_PG_PORT") + ";DATABASE=" + db +
                     ";UID=" + envOr("DORMEX_PG_USER") + ";PWD=" + envOr("DORMEX_PG_PASSWORD") +
                     ";";
        return s;
    }
    s.host = envOr("DORMEX_PG_HOST");
    s.port = std::stoi(envOr("DORMEX_PG_PORT", "5432"));
    s.user = envOr("DORMEX_PG_USER");
    s.password = envOr("DORMEX_PG_PASSWORD");
    s.database = db;
    return s;
}

std::string registrationText(const sitelib::ConnectionSettings& s) {
    std::string ini = "[Database]\nDriver=" + std::string(sitelib::driverName(s.driver)) +
                      "\nDatabase=" + s.database + "\n";
    if (!s.host.empty()) ini += "Host=" + s.host + "\n";
    if (s.port > 0) ini += "Port=" + std::to_string(s.port) + "\n";
    if (!s.user.empty()) ini += "User=" + s.user + "\n";
    if (!s.password.empty()) ini += "Password=" + s.password + "\n";
    if (!s.options.empty()) ini += "Options=" + s.options + "\n";
    return ini;
}

void harnessAdminExec(const std::string& sql) {
    sitelib::SiteDatabase(harnessSettings(sitelib::Driver::Postgres))
        .exec(QString::fromStdString(sql));
}

}  // namespace dormex::test
