#pragma once

#include <string>

namespace dormex::gui {

// True when a window system can be used: QT_QPA_PLATFORM is set (non-empty); else DISPLAY is set
// and an X server accepts a connection; else WAYLAND_DISPLAY is set and a Wayland compositor
// accepts one. The probe loads the client libraries at run time and never aborts: a missing
// library or a refused connection simply gives false.
bool WindowSystemAvailable();

// Empty when ProbedPlatform() finds a window system; else what was found instead: nothing set,
// or which display did not answer.
std::string MissingWindowSystem();

// The Qt platform plugin for the window system found: empty when
// QT_QPA_PLATFORM already names one, else "xcb" or "wayland" (whichever answered), so that Qt
// never tries one that is not there. Empty when there is none.
const char* ProbedPlatform();

}  // namespace dormex::gui
