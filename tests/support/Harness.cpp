#include "support/Harness.h"

#include <unistd.h>

#include <QString>
#include <atomic>
#include <cstdio>
#include <exception>

#include "support/Programs.h"

namespace dormex::test {

bool harnessAvailable() {
    return !envOr("DORMEX_PG_HOST").empty();
}

sitelib::ConnectionSettings harnessSettings(sitelib::Driver driver, const std::string& database,
                                            const std::map<std::string, std::string>* variables) {
    auto var = [&](const char* name, const char* fallback = "") {
        if (!variables) return envOr(name, fallback);
        const auto it = variables->find(name);
        return it == variables->end() || it->second.empty() ? std::string(fallback) : it->second;
    };
    sitelib::ConnectionSettings s;
    s.driver = driver;
    const std::string db = database.empty() ? var("DORMEX_PG_DB") : database;
    if (driver == sitelib::Driver::Odbc) {
        s.database = "DRIVER={DormexPostgreSQL};SERVER=" + var("DORMEX_PG_HOST") +
                     ";PORT=" + var("DORMEX_PG_PORT") + ";DATABASE=" + db +
                     ";UID=" + var("DORMEX_PG_USER") + ";PWD=" + var("DORMEX_PG_PASSWORD") + ";";
        return s;
    }
    s.host = var("DORMEX_PG_HOST");
    s.port = std::stoi(var("DORMEX_PG_PORT", "5432"));
    s.user = var("DORMEX_PG_USER");
    s.password = var("DORMEX_PG_PASSWORD");
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
    sitelib::ConnectionSettings settings = harnessSettings(sitelib::Driver::Postgres);
    settings.options = "options=-cclient_min_messages=warning";
    sitelib::SiteDatabase(settings).exec(QString::fromStdString(sql));
}

HarnessSchema::HarnessSchema() {
    static std::atomic<int> counter{0};
    m_name = "dormex_s" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    harnessAdminExec("CREATE SCHEMA " + m_name);
}

HarnessSchema::~HarnessSchema() {
    try {
        harnessAdminExec("DROP SCHEMA " + m_name + " CASCADE");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "could not drop %s: %s\n", m_name.c_str(), e.what());
    }
}

sitelib::ConnectionSettings HarnessSchema::settings() const {
    sitelib::ConnectionSettings s = harnessSettings(sitelib::Driver::Postgres);
    s.options = "options=-csearch_path=" + m_name;
    return s;
}

std::string HarnessSchema::registration(sitelib::Driver driver, int port) const {
    sitelib::ConnectionSettings s = settings();
    if (port > 0) s.port = port;
    if (driver == sitelib::Driver::Postgres) return registrationText(s);
    return "[Database]\nDriver=QODBC\nUser=" + s.user + "\nPassword=" + s.password +
           "\nDatabase=DSN=" + envOr("DORMEX_ODBC_DSN") + ";SERVER=" + s.host +
           ";PORT=" + std::to_string(s.port) + ";ConnSettings={SET search_path TO " + m_name +
           "}\n";
}

}  // namespace dormex::test
