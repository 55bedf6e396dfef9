#include "Startup.h"

#include <vector>

#include "Preview.h"
#include "platform/Error.h"
#include "platform/Platform.h"
#include "platform/RunLock.h"
#include "platform/System.h"
#include "uDormex.h"
#include "uVarious.h"

#ifndef DORMEX_VERSION
#define DORMEX_VERSION "unknown"
#endif

namespace dormex {
namespace {

// An entry reporting that the custom names or the expiry run failed.
bool isFailureEntry(const std::string& message) {
    return message.rfind("LoadCustomNames():", 0) == 0 || message.rfind("RunQuery():", 0) == 0;
}

// What a start reports besides its log entries. A set-up failure goes to standard error, and to
// the error box where one is seen, else into the log. The failure entries of the run are
// gathered, and a start of the window or the unattended run that fails (status 1 or 2) ends
// with one error event holding them and every other failure it reported.
class StartReport : public platform::Boxes {
public:
    explicit StartReport(std::FILE* err) : m_err(err) {
        SetLogListener([this](const std::string& message) {
            if (isFailureEntry(message)) m_failures.push_back(message);
        });
    }
    ~StartReport() override {
        SetLogListener(nullptr);
        standDown();
    }

    // Stands in for the boxes during the set-up: `shown` shows them; null where none is seen.
    void standIn(platform::Boxes* shown) {
        m_shown = shown;
        m_previous = &platform::boxes();
        platform::setBoxes(this);
    }
    void standDown() {
        if (m_previous) platform::setBoxes(m_previous);
        m_previous = nullptr;
    }

    void showError(const std::string& title, const std::string& text) override {
        failure(text);
        if (m_shown) {
            m_shown->showError(title, text);
            return;
        }
        try {
            WriteLog("Set-up failed: " + text);
        } catch (const RunStopped& e) {
            failure(e.what());
        }
    }
    void showMessage(const std::string& title, const std::string& text) override {
        if (m_shown)
            m_shown->showMessage(title, text);
        else
            std::fprintf(m_err, "%s: %s\n", title.c_str(), text.c_str());
    }

    // A failure that ends the start: standard error and the event.
    void failure(const std::string& message) {
        std::fprintf(m_err, "%s: %s\n", platform::kApplicationTitle, message.c_str());
        m_failures.push_back(message);
    }

    // A run the log stopped: standard error, the event, and the error box where one is seen.
    void stopped(const std::string& message) {
        failure(message);
        if (m_shown) m_shown->showError(platform::kApplicationTitle, message);
    }

    // One error event after a start of `mode` that ended with `status` 1 or 2.
    void end(StartMode mode, int status) const {
        if (status == 0 || (mode != StartMode::Window && mode != StartMode::Unattended)) return;
        std::string text;
        for (const std::string& failure : m_failures)
            text += (text.empty() ? "" : "\r\n") + failure;
        if (text.empty()) text = "The run ended with exit status " + std::to_string(status);
        platform::os::reportErrorEvent(platform::kApplicationTitle, text);
    }

private:
    std::FILE* m_err;
    platform::Boxes* m_shown = nullptr;
    platform::Boxes* m_previous = nullptr;
    std::vector<std::string> m_failures;
};

int runFormProgram(StartMode mode, const std::string& firstArgument, Shell& shell,
                   StartReport& report) {
    const std::string problem = shell.windowSystemProblem();
    const bool windowSystem = problem.empty();
    if (!windowSystem && mode == StartMode::Window) {
        report.failure(problem);
        return 2;
    }
    shell.startApplication(windowSystem);
    report.standIn(windowSystem ? &platform::boxes() : nullptr);

    // The run lock's failures are set-up failures like the others.
    platform::RunLock& lock = platform::runLock();
    const bool locked = Guarded(
        [&] {
            if (mode == StartMode::Unattended &&
                !lock.acquire(platform::programDirectory() + kRunLockFile, kRunLockWaitSeconds))
                throw Error("Another run is in progress");
        },
        [](const std::string& message) {
            platform::boxes().showError(platform::kApplicationTitle, ErrorBoxText(message));
        });
    if (!locked) return 2;
    TForm1 form(shell.siteLibrary(false), firstArgument);
    bool setupOk = false;
    bool stopped = false;
    try {
        setupOk = RunFormCreate(form);
    } catch (const RunStopped& e) {
        // An entry the log refused: no card after it, no window, status 1.
        report.stopped(e.what());
        stopped = true;
    }
    report.standDown();
    if (windowSystem && !stopped) shell.runWindow(form);
    lock.release();
    return stopped ? 1 : ExitStatus(form, !setupOk);
}

}  // namespace

StartMode ParseStartMode(const std::string& firstArgument) {
    if (IsSilentArgument(firstArgument)) return StartMode::Unattended;
    if (IsPreviewArgument(firstArgument)) return StartMode::Preview;
    if (firstArgument == "--help") return StartMode::Help;
    if (firstArgument == "--version") return StartMode::Version;
    return StartMode::Window;
}

std::string WindowSystemProblem(const std::string& found) {
    if (found.empty()) return {};
    const std::string name = platform::programName();
    return "no window system (" + found + "); the window needs one, while '" + name +
           " silent' and '" + name + " preview' run without one";
}

std::string UsageText(const std::string& programName) {
    // Every description starts in one column, whatever the program's name.
    const std::string indent(programName.size() + 14, ' ');
    auto command = [&](const std::string& argument, const std::string& text) {
        return "  " + programName + " " + argument + std::string(11 - argument.size(), ' ') + text +
               "\n";
    };
    auto file = [](const std::string& name, const std::string& text) {
        return "  " + name + std::string(name.size() < 17 ? 17 - name.size() : 1, ' ') + text +
               "\n";
    };
    return "Usage: " + programName + " [silent | preview | --help | --version]\n\n" +
           command("", "the settings window (needs a window system)") +
           command("silent", "unattended run, for a scheduler: deactivates the") + indent +
           "idle cards of the selected person types, logs each\n" +
           command("preview", "lists what the unattended run would deactivate;") + indent +
           "changes nothing\n" + command("--help", "this text") +
           command("--version", "the version") + "\nFiles beside the program (" +
           platform::programDirectory() + "):\n" +
           file("Dormex.ini", "settings: Days, typeN, MaxDeactivations, FeedCheck and") +
           file("", "SqlDateFormat in [General]; cards never deactivated in [Keep]") +
           file(platform::fileNameOf(LogPathFor(platform::executablePath())),
                "the log of every run") +
           file("SiteLibrary.ini", "where the site library finds the site database") +
           file(kRunLockFile, "held by the unattended run, one run at a time") +
           "\nExit status: 0 done; 1 the run logged a failure or could not write the log\n" +
           "(see the log, or standard error); 2 the set-up failed or the program could not\n" +
           "start (message on standard error, and in the log where no box can be seen).\n";
}

int RunProgram(StartMode mode, const std::string& firstArgument, Shell& shell, std::FILE* out,
               std::FILE* err) {
    StartReport report(err);
    int status = 2;
    try {
        Guarded(
            [&] {
                switch (mode) {
                    case StartMode::Help:
                        std::fputs(UsageText(platform::programFileName()).c_str(), out);
                        status = 0;
                        return;
                    case StartMode::Version:
                        std::fprintf(out, "%s %s\n", platform::kApplicationTitle, DORMEX_VERSION);
                        status = 0;
                        return;
                    case StartMode::Preview:
                        shell.startApplication(false);
                        status = RunPreview(shell.siteLibrary(true), out, err);
                        return;
                    case StartMode::Window:
                    case StartMode::Unattended:
                        status = runFormProgram(mode, firstArgument, shell, report);
                        return;
                }
            },
            [&](const std::string& message) {
                report.failure(message);
                status = 2;
            });
    } catch (const RunStopped& e) {
        report.failure(e.what());
        status = 1;
    }
    report.end(mode, status);
    std::fflush(out);
    return status;
}

}  // namespace dormex
