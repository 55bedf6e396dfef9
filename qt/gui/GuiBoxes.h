#pragma once

#include <string>

#include "platform/Platform.h"

namespace dormex::gui {

// The boxes on a real window system. Both are application-modal and return once OK is pressed;
// a QApplication must exist.
class GuiBoxes : public platform::Boxes {
public:
    // Critical icon, one OK button, captioned `title`.
    void showError(const std::string& title, const std::string& text) override;
    // No icon, one OK button, centred on the screen.
    void showMessage(const std::string& title, const std::string& text) override;
};

}  // namespace dormex::gui
