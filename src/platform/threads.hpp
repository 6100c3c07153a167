// Threads doing part of the conversion. Each runs with the interruption
// signals blocked, so that only the main thread handles them.
#pragma once

#include <cstdint>

#include "tolvarin/tolvarin.hpp"

namespace tolvarin {

struct worker_thread {
    std::uintptr_t handle = 0;  // the system's handle of the thread
};

// Starts `entry`, which must stay valid until the thread is joined. False
// when the system will not start another thread (a resource limit): the
// caller goes on with fewer.
bool start_worker(const function_ref<void()>& entry, worker_thread& thread);
void join_worker(worker_thread& thread);

}  // namespace tolvarin
