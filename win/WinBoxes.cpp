#include "WinBoxes.h"

#include <windows.h>

#include "platform/Utf.h"

namespace dormex::win {
namespace {

void show(const std::string& title, const std::string& text, UINT icon) {
    ::MessageBoxW(nullptr, platform::toWide(text).c_str(), platform::toWide(title).c_str(),
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
