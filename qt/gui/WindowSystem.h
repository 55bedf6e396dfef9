#pragma once

#include <string>

namespace dormex::gui {

// Empty when `probed` (what ProbedPlatform() gave) is a window system a user sees; else what was
// found instead: nothing set, which display did not answer, or (for an `unattended` start, whose
// error box nobody could close) a QT_QPA_PLATFORM that shows nothing on a screen.
std::string MissingWindowSystem(const char* probed, bool unattended);

// The Qt platform plugin for the window system found: empty when QT_QPA_PLATFORM is set
// (non-empty); else "xcb" when DISPLAY is set and an X server accepts a connection; else
// "wayland" when WAYLAND_DISPLAY is set and a compositor accepts one, so that Qt never tries one
// that is not there. Null when there is none. The probe loads the client libraries at run time
// and never aborts: a missing library or a refused connection counts as none.
const char* ProbedPlatform();

}  // namespace dormex::gui
