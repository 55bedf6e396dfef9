#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Scenarios.h"
#include "SiteDatabase.h"
#include "TestSupport.h"
#include "support/Programs.h"
#include "support/SiteRows.h"

// What the end-to-end tests of the Linux program and of the Windows program under Wine share:
// the program directory with its site, the scenarios' runs and their checks. EndToEnd.cpp also
// holds their main(), which starts the Qt application that the site connections need.
namespace dormex::test {

// A program directory holding a site, and the runs that the Linux program's tests and the Windows
// program's check the same way. `program` is the base name of the program and of its log and
// record beside it; `windows` tells that the program runs under Wine.
class EndToEndRuns {
public:
    EndToEndRuns(std::string program, bool windows)
        : m_program(std::move(program)), m_windows(windows) {}
    virtual ~EndToEndRuns() = default;

protected:
    // One run of the program in the directory with `command`, `env` added to its environment.
    virtual RunResult dormex(const std::string& command, EnvList env = {}) = 0;
    // Checks that a failed run reported `message` where the platform reports it besides the log
    // (Wine's event log); Linux has the log only.
    virtual void expectReported(const RunResult&, const std::string&) {}
    // The platform's own checks of a preview's output.
    virtual void expectPreviewSaved(const RunResult&) {}

    void exec(const std::string& sql) { db->exec(sql); }
    std::string state(int cardId) { return db->cardState(cardId); }
    std::vector<std::string> downloads() { return db->downloadRows(); }
    // The file beside the program with `extension` (".log", ".csv").
    std::string beside(const std::string& extension) const {
        return dir.file(m_program + extension);
    }
    std::vector<std::string> log() const { return logMessages(readFile(beside(".log"))); }
    // The site's rows, and its settings in Dormex.ini.
    void fill(const scenario::Site& site = scenario::smallSite()) {
        db->fill(site, dir.file("Dormex.ini"));
    }
    // Every row of the tables a run may change, as text.
    std::string siteDump();

    // Each scenario: its clean run leaves what the scenario lists, the next run finds nothing left.
    void scenarioRuns();
    // Each failure of the site database ends the run at its step, the cards before it done.
    void failureRuns();
    // The preview lists what the run then does, and changes nothing.
    void previewThenRun();
    // Both routines log the table that is missing; no card is touched.
    void missingTables();

    TempDir dir;
    sitelib::ConnectionSettings settings;
    std::unique_ptr<TestSite> db;
    bool postgres = false;

private:
    // Empties the site's tables and removes the log; `keyType` ("" as created) and
    // `providerTypes` declare the empty tables' columns, and `site` fills them.
    void refill(const scenario::Site& site, const std::string& keyType = "",
                bool providerTypes = false);

    std::string m_program;
    bool m_windows;
};

}  // namespace dormex::test
