#include "WinShell.h"

#include <objbase.h>
#include <windows.h>
// after windows.h, whose types it uses
#include <commctrl.h>

#include "Form1Window.h"
#include "SiteLibraryChoice.h"
#include "WinBoxes.h"
#include "platform/Platform.h"

namespace dormex::win {
namespace {

// True when the process's window station is one a user sees: false for the hidden station of a
// task that runs whether the user is logged on or not, and of a service.
bool windowStationVisible() {
    const HWINSTA station = ::GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    if (!station || !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr))
        return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// True when a window can be created at all (under Wine, only with a display that answers).
bool windowCanBeCreated() {
    const HWND probe = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                         ::GetModuleHandleW(nullptr), nullptr);
    if (!probe) return false;
    ::DestroyWindow(probe);
    return true;
}

}  // namespace

std::string MissingWindowSystem() {
    if (!windowStationVisible())
        return "the window station is not visible, as for a scheduled task run whether the user "
               "is logged on or not";
    if (!windowCanBeCreated()) return "no window can be created, as there is no display";
    return {};
}

WinShell::WinShell(int showCommand) : m_showCommand(showCommand) {}

WinShell::~WinShell() {
    if (m_comInitialised) ::CoUninitialize();
}

site::CreateFunction WinShell::siteLibrary(bool readOnly) {
    return SiteLibraryCreator(readOnly);
}

std::string WinShell::windowSystemProblem(StartMode) {
    return WindowSystemProblem(MissingWindowSystem());
}

platform::Boxes* WinShell::startApplication(bool windowSystem) {
    if (m_started) return m_boxes.get();
    m_started = true;
    m_comInitialised = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    if (windowSystem) {
        // The manifest asks for Common Controls 6; loading it here gives the window and the
        // boxes its styles before the first control is made.
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
        ::InitCommonControlsEx(&controls);
        m_boxes = std::make_unique<WinBoxes>();
    }
    return m_boxes.get();
}

void WinShell::runWindow(TForm1& form) {
    Form1Window window(form, true);
    window.show(m_showCommand);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchWindowMessage(window.handle(), message);
}

}  // namespace dormex::win
