// Process-wide set-up, done once, first of all.
#pragma once

namespace tolvarin {

// Standard descriptors that are closed are opened on the null device (so no
// file the program opens can take their place); a closed pipe or a file-size
// limit becomes a checked error instead of killing the process halfway
// through a file; a fault on the mapped container is caught by the guard
// (input.hpp); and an interruption (SIGINT, SIGTERM, SIGHUP, SIGQUIT; on
// Windows Ctrl-C, Ctrl-Break and the console closing) removes the temporary
// files in progress, then ends the process the way it would have. A signal
// ignored at start stays ignored.
void prepare_process();

}  // namespace tolvarin
