#include "platform/threads.hpp"

#include <pthread.h>
#include <sched.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix/system.hpp"

namespace tolvarin {
namespace {

static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t));

struct worker_start {
    const function_ref<void()>* entry;
#ifdef __linux__
    bool moved;
    cpu_set_t allowed;  // the process's processors, given back once running
#endif
};

void* run_worker(void* start) {
    const worker_start what = *static_cast<worker_start*>(start);
    std::free(start);
#ifdef __linux__
    if (what.moved) ::sched_setaffinity(0, sizeof what.allowed, &what.allowed);
#endif
    (*what.entry)();
    return nullptr;
}

}  // namespace

bool start_worker(const function_ref<void()>& entry, worker_thread& thread) {
    auto* const start = static_cast<worker_start*>(std::malloc(sizeof(worker_start)));
    if (start == nullptr) return false;
    start->entry = &entry;
#ifdef __linux__
    // A new thread starts on the creating thread's processor and waits there
    // until the scheduler moves it, which takes long enough to matter when
    // another program keeps the other processors busy. It starts on another
    // of the process's processors instead, and may go anywhere once running.
    pthread_attr_t attributes;
    pthread_attr_t* use = nullptr;
    start->moved = false;
    if (::sched_getaffinity(0, sizeof start->allowed, &start->allowed) == 0 && CPU_COUNT(&start->allowed) > 1 &&
        ::pthread_attr_init(&attributes) == 0) {
        cpu_set_t elsewhere = start->allowed;
        const int here = ::sched_getcpu();
        if (here >= 0) CPU_CLR(static_cast<std::size_t>(here), &elsewhere);
        if (CPU_COUNT(&elsewhere) > 0 && ::pthread_attr_setaffinity_np(&attributes, sizeof elsewhere, &elsewhere) == 0) {
            start->moved = true;
            use = &attributes;
        } else {
            ::pthread_attr_destroy(&attributes);
        }
    }
#else
    pthread_attr_t* const use = nullptr;
#endif
    // The new thread takes the signal mask of this one: interruptions blocked.
    const sigset_t interruptions = interruption_set();
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &interruptions, &previous);
    pthread_t handle{};
    const bool started = ::pthread_create(&handle, use, run_worker, start) == 0;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#ifdef __linux__
    if (use != nullptr) ::pthread_attr_destroy(use);
#endif
    if (!started) {
        std::free(start);
        return false;
    }
    std::memcpy(&thread.handle, &handle, sizeof handle);
    return true;
}

void join_worker(worker_thread& thread) {
    pthread_t handle{};
    std::memcpy(&handle, &thread.handle, sizeof handle);
    ::pthread_join(handle, nullptr);
}

}  // namespace tolvarin
