// What the Windows files of the platform layer share.
#pragma once

namespace tolvarin {

// The console's Ctrl-C, Ctrl-Break and close remove every temporary file in
// progress, then end the process as they would have (output.cpp).
void install_interruption_cleanup();

}  // namespace tolvarin
