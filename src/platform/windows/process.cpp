#include "platform/process.hpp"

#include "platform/windows/system.hpp"

namespace tolvarin {

// Standard handles need no filling in, and a write to a closed pipe fails
// with an error rather than a signal: the interruption clean-up is all.
void prepare_process() { install_interruption_cleanup(); }

}  // namespace tolvarin
