#pragma once

#include <memory>

#include "Startup.h"

class QCoreApplication;

namespace dormex::gui {

class GuiBoxes;

// The Linux platform's side of the start-up: Qt (a QApplication on the window system the probe
// found, else a QCoreApplication so Qt finds its plugins the same way in every mode), the Qt
// boxes and window, and the QtSql site library.
class QtShell : public Shell {
public:
    QtShell(int& argc, char** argv);
    ~QtShell() override;

    site::CreateFunction siteLibrary(bool readOnly) override;
    std::string windowSystemProblem(StartMode mode) override;
    platform::Boxes* startApplication(bool windowSystem) override;
    void runWindow(TForm1& form) override;
    const char* siteLibrarySettings() const override {
        return "where the site library finds the site database";
    }

private:
    // ProbedPlatform(), asked once.
    const char* probedPlatform();

    int& m_argc;
    char** m_argv;
    std::unique_ptr<QCoreApplication> m_app;
    std::unique_ptr<GuiBoxes> m_boxes;
    bool m_probed = false;
    const char* m_platform = nullptr;
};

// The Linux program's entry over `shell`, made from the same `argc` and `argv`: the user's
// locale, only Qt's real errors on standard error, then the start-up sequence in the mode the
// first argument chooses. Returns the exit status.
int RunQtProgram(int argc, char** argv, QtShell& shell);

}  // namespace dormex::gui
