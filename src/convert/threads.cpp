#include "convert/threads.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#elif !defined(__EMSCRIPTEN__)
#include <pthread.h>
#include <signal.h>
#if defined(__linux__)
#include <sched.h>
#endif
#endif

namespace tolvarin {
namespace {

#if defined(_WIN32)
// Console control events reach the process on a thread of their own, so
// workers need nothing blocked here.
DWORD WINAPI run_entry(void* entry) {
    (*static_cast<const function_ref<void()>*>(entry))();
    return 0;
}
#elif !defined(__EMSCRIPTEN__)
static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t));

// What a new thread is given: its entry and, where it was started on another
// processor than the creating thread's, the processors it may use once it
// runs. Taken with malloc and freed by the thread.
struct start_info {
    const function_ref<void()>* entry;
#if defined(__linux__)
    bool moved;
    cpu_set_t allowed;
#endif
};

void* run_entry(void* start) {
    const start_info info = *static_cast<start_info*>(start);
    std::free(start);
#if defined(__linux__)
    if (info.moved) ::sched_setaffinity(0, sizeof info.allowed, &info.allowed);
#endif
    (*info.entry)();
    return nullptr;
}

// Every signal but those a faulting read raises, which are delivered to the
// thread that faulted whatever its mask, and end the process when blocked.
sigset_t worker_signals() {
    sigset_t set;
    sigfillset(&set);
    for (const int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&set, fault);
    return set;
}

#if defined(__linux__)
// A new thread starts on the creating thread's processor and waits there
// until the scheduler moves it, which takes long enough to matter when
// another program keeps the other processors busy. It is started on another
// of the process's processors instead, and may go anywhere once running.
bool start_elsewhere(pthread_attr_t& attributes, start_info& info) {
    if (::sched_getaffinity(0, sizeof info.allowed, &info.allowed) != 0 || CPU_COUNT(&info.allowed) < 2) return false;
    cpu_set_t elsewhere = info.allowed;
    const int here = ::sched_getcpu();
    if (here >= 0) CPU_CLR(static_cast<std::size_t>(here), &elsewhere);
    return CPU_COUNT(&elsewhere) > 0 && ::pthread_attr_setaffinity_np(&attributes, sizeof elsewhere, &elsewhere) == 0;
}
#endif
#endif

}  // namespace

unsigned usable_processors() {
#if defined(_WIN32)
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0) {
        unsigned count = 0;
        for (; process != 0; process &= process - 1) ++count;
        return count;
    }
#elif defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
#endif
    const unsigned online = std::thread::hardware_concurrency();
    return online > 0 ? online : 1;
}

unsigned threads_to_use(unsigned asked, std::uint64_t track_bytes, std::uint64_t threaded_bytes,
                        unsigned processors) {
    if (track_bytes < threaded_bytes) return 1;
    if (asked == 0) asked = processors;
    return std::clamp(asked, 1u, max_threads);
}

bool system_threads::start(function_ref<void()> entry) {
    if (started_ >= max_threads) return false;
    std::optional<function_ref<void()>>& held = entries_[started_];
    held.emplace(entry);
#if defined(_WIN32)
    const HANDLE handle = ::CreateThread(nullptr, 0, run_entry, &*held, 0, nullptr);
    if (handle == nullptr) return false;
    handles_[started_++] = reinterpret_cast<std::uintptr_t>(handle);
    return true;
#elif defined(__EMSCRIPTEN__)
    // The page's build has one thread.
    return false;
#else
    auto* const info = static_cast<start_info*>(std::malloc(sizeof(start_info)));
    if (info == nullptr) return false;
    info->entry = &*held;
    pthread_attr_t attributes;
    pthread_attr_t* use = nullptr;
    if (::pthread_attr_init(&attributes) == 0) use = &attributes;
#if defined(__linux__)
    info->moved = use != nullptr && start_elsewhere(attributes, *info);
#endif
    // The new thread takes this one's signal mask.
    const sigset_t blocked = worker_signals();
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    pthread_t thread{};
    const bool created = ::pthread_create(&thread, use, run_entry, info) == 0;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (use != nullptr) ::pthread_attr_destroy(use);
    if (!created) {
        std::free(info);
        return false;
    }
    std::memcpy(&handles_[started_++], &thread, sizeof thread);
    return true;
#endif
}

void system_threads::join_all() {
    for (unsigned index = 0; index < started_; ++index) {
#if defined(_WIN32)
        const auto handle = reinterpret_cast<HANDLE>(handles_[index]);
        ::WaitForSingleObject(handle, INFINITE);
        ::CloseHandle(handle);
#elif !defined(__EMSCRIPTEN__)
        pthread_t thread{};
        std::memcpy(&thread, &handles_[index], sizeof thread);
        ::pthread_join(thread, nullptr);
#endif
        entries_[index].reset();
    }
    started_ = 0;
}

}  // namespace tolvarin
