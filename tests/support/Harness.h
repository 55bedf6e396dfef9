#pragma once

#include <string>

#include "SiteDatabase.h"

// The throw-away PostgreSQL server of scripts/pg-harness.sh, as its environment names it.
namespace dormex::test {

// True when the harness's server is there. Without it a test skips, except under CI=true, where
// it records a failure first.
bool harnessAvailable();

// Settings reaching `database` (default: the harness's own) natively, or through ODBC with a
// whole connection string naming the harness's driver.
sitelib::ConnectionSettings harnessSettings(sitelib::Driver driver,
                                            const std::string& database = "");

// SiteLibrary.ini text for `settings`.
std::string registrationText(const sitelib::ConnectionSettings& settings);

// Runs `sql` on the harness's own database (CREATE and DROP DATABASE).
void harnessAdminExec(const std::string& sql);

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
