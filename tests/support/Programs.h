#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

// What the tests that start the built programs share: scratch and program directories, a child
// process with a clean environment, the settings text and a log reader for any locale's stamps.
namespace dormex::test {

using EnvList = std::vector<std::pair<std::string, std::string>>;

// The value of an environment variable, or `fallback`.
std::string envOr(const char* name, const std::string& fallback = "");
// True under CI=true, where tests that need a server fail instead of skipping.
bool onCi();
bool startsWith(const std::string& text, const std::string& head);
bool endsWith(const std::string& text, const std::string& tail);

// The build directory holding the built programs, fixed when the test was built.
std::string buildDir();
// The source tree, for its scripts.
std::string sourceRoot();

// How a started program ended.
struct RunResult {
    int status = -1;  // exit status; -1 after a signal or the time limit
    int signal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

// One started program in `dir`, its standard output and error in files named after `tag`. The
// environment is the test's without any window system, and with LC_ALL=C.UTF-8 unless
// `extraEnv` names LC_ALL (a test about the locale); `extraEnv` is added last. Killed and
// reaped when dropped.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
          const std::string& tag, const EnvList& extraEnv = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool running() { return !reap(false); }
    void kill(int sig);
    // Waits at most `limit`; a program still running then is killed and reported as timed out.
    RunResult wait(std::chrono::steady_clock::duration limit);

private:
    bool reap(bool block);

    std::string m_outPath;
    std::string m_errPath;
    pid_t m_pid = -1;
    int m_raw = 0;
    bool m_reaped = false;
};

// Runs `program` in `dir` as a Child and waits at most `limit` for it.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& dir,
                     std::chrono::steady_clock::duration limit = std::chrono::seconds(120),
                     const EnvList& extraEnv = {});

// A program directory holding copies of the built dormex and dormex-site (the programs resolve
// /proc/self/exe, so links would point them back at the build directory). `program` names the
// built program copied as dormex.
class ProgramDir {
public:
    explicit ProgramDir(const std::string& program = "dormex");
    std::string file(const std::string& name) const { return m_dir.file(name); }
    const std::string& path() const { return m_dir.path(); }
    std::string siteDb() const { return file("site.db"); }
    std::string log() const;

    std::unique_ptr<Child> start(const std::vector<std::string>& args,
                                 const std::string& tag = "run", const EnvList& env = {}) const;
    RunResult run(const std::vector<std::string>& args,
                  std::chrono::steady_clock::duration limit = std::chrono::seconds(60),
                  const EnvList& env = {}) const;
    RunResult siteTool(const std::vector<std::string>& args) const;

private:
    TempDir m_dir;
};

// Dormex.ini text selecting `types` (of the eleven) with `days`.
std::string settingsText(const std::string& days, const std::set<int>& types);

// The log's lines as written: split at CR LF, without the empty piece after the last one.
std::vector<std::string> logLines(const std::string& log);
// A line's message after its stamp (date, one blank, time, two blanks, in any locale's forms);
// "<no time stamp>" for a continuation line.
std::string messageOf(const std::string& line);
// Every line of the log without its stamp; continuation lines as they are.
std::vector<std::string> logMessages(const std::string& log);
// The messages of the log's "Deactivated" entries, in log order.
std::vector<std::string> deactivatedEntries(const std::string& log);
// The key number text of every "Deactivated" entry, in log order.
std::vector<std::string> deactivatedKeys(const std::string& log);
// Failure entries ("RunQuery():" or "LoadCustomNames():") of the log.
std::vector<std::string> failureEntries(const std::string& log);

// True when the C library can switch to `locale` (so a program started in it uses its formats).
bool localeInstalled(const char* locale);

// A TCP port on 127.0.0.1 that nothing listens on.
int closedPort();

}  // namespace dormex::test
