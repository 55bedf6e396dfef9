#pragma once

#include "platform/Platform.h"

namespace dormex::win {

// The Windows message boxes: modal to every window of the thread, centred on the screen.
class WinBoxes : public platform::Boxes {
public:
    // Error icon, OK.
    void showError(const std::string& title, const std::string& text) override;
    // No icon, OK.
    void showMessage(const std::string& title, const std::string& text) override;
};

}  // namespace dormex::win
