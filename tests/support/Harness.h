#pragma once

#include <map>
#include <string>

#include "SiteDatabase.h"

// The throw-away PostgreSQL server of scripts/pg-harness.sh, as its environment names it.
namespace dormex::test {

// True when the harness's server is there. Without it a test skips, except under CI=true, where
// it records a failure first.
bool harnessAvailable();

// Settings reaching `database` (default: the harness's own) natively, or through ODBC with a
// whole connection string naming the harness's driver; the server as the environment names it,
// or as `variables` do (the harness script's exports, for a cluster of the test's own).
sitelib::ConnectionSettings harnessSettings(
    sitelib::Driver driver, const std::string& database = "",
    const std::map<std::string, std::string>* variables = nullptr);

// SiteLibrary.ini text for `settings`.
std::string registrationText(const sitelib::ConnectionSettings& settings);

// Runs `sql` on the harness's own database (CREATE and DROP DATABASE), without notices.
void harnessAdminExec(const std::string& sql);

// A schema of its own in the harness's database, so that parallel test processes never meet:
// made when constructed, dropped with all it holds when destroyed.
class HarnessSchema {
public:
    HarnessSchema();
    ~HarnessSchema();
    HarnessSchema(const HarnessSchema&) = delete;
    HarnessSchema& operator=(const HarnessSchema&) = delete;

    // Native settings whose connections work in the schema.
    sitelib::ConnectionSettings settings() const;
    // SiteLibrary.ini reaching the schema through `driver` at the harness's host on `port`
    // (-1: the server's own port).
    std::string registration(sitelib::Driver driver, int port = -1) const;

private:
    std::string m_name;
};

}  // namespace dormex::test

// Skips the test without the harness's server (fails under CI=true).
#define DORMEX_REQUIRE_HARNESS()                                                      \
    do {                                                                              \
        if (!::dormex::test::harnessAvailable()) {                                    \
            if (::dormex::test::onCi())                                               \
                FAIL() << "no PostgreSQL server: run under "                          \
                          "scripts/pg-harness.sh";                                    \
            GTEST_SKIP() << "no PostgreSQL server (run under scripts/pg-harness.sh)"; \
        }                                                                             \
    } while (false)
