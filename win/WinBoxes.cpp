#include "WinBoxes.h"

#include <windows.h>

#include "platform/win/Wide.h"

namespace dormex::win {
namespace {

void show(const std::string& title, const std::string& text, UINT icon) {
    ::MessageBoxW(nullptr, platform::win::widen(text).c_str(), platform::win::widen(title).c_str(),
                  MB_OK | icon | MB_TASKMODAL | MB_SETFOREGROUND);
}

}  // namespace

void WinBoxes::showError(const std::string& title, const std::string& text) {
    show(title, text, MB_ICONERROR);
}

void WinBoxes::showMessage(const std::string& title, const std::string& text) {
    show(title, text, 0);
}

}  // namespace dormex::win
