// Work that reads the image runs inside the caller's guard, when there is
// one: a read that faults (a mapped file cut short) abandons the work, and
// the caller hears of it as a fault rather than dying of the signal.
#pragma once

#include "tolvarin/tolvarin.hpp"

namespace tolvarin {

// Runs `work`; false when the guard abandoned it. The work's frame holds
// only references, so a jump out of it leaves nothing behind.
template <class Work>
bool run_guarded(const input_guard* guard, Work&& work) {
    if (guard == nullptr) {
        work();
        return true;
    }
    return guard->run(work);
}

}  // namespace tolvarin
