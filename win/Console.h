#pragma once

namespace dormex::win {

// A program built for the window subsystem starts without standard output and error unless its
// starter redirected them. This points each missing one at the console of the parent process
// (the command prompt it was started from), when there is one; otherwise it stays silent.
void AttachParentConsole();

}  // namespace dormex::win
