#pragma once

#include <memory>
#include <string>

#include "Startup.h"

namespace dormex::win {

class WinBoxes;

// Empty when windows can be shown to a user: the process's window station is visible and a
// window can be created. Else what was found instead.
std::string MissingWindowSystem();

// The Windows platform's side of the start-up: COM for the main thread, the message boxes, the
// Win32 window and its message loop, and the site library chosen at build time.
class WinShell : public Shell {
public:
    // `showCommand`: how the starter asked the window to be shown (WinMain's nCmdShow).
    explicit WinShell(int showCommand);
    ~WinShell() override;

    site::CreateFunction siteLibrary(bool readOnly) override;
    std::string windowSystemProblem(StartMode mode) override;
    platform::Boxes* startApplication(bool windowSystem) override;
    void runWindow(TForm1& form) override;
    const char* siteLibrarySettings() const override {
        return "the site library's COM class and interfaces ([COM])";
    }

private:
    int m_showCommand;
    bool m_started = false;
    bool m_comInitialised = false;
    std::unique_ptr<WinBoxes> m_boxes;
};

}  // namespace dormex::win
