#include "convert/threads.hpp"

#include <cstring>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#elif !defined(__EMSCRIPTEN__)
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#endif
#endif

namespace tolvarin {
namespace {

#if defined(_WIN32)
DWORD WINAPI run_entry(void* entry) {
    (*static_cast<const function_ref<void()>*>(entry))();
    return 0;
}
#elif !defined(__EMSCRIPTEN__)
static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t));

void* run_entry(void* entry) {
    (*static_cast<const function_ref<void()>*>(entry))();
    return nullptr;
}
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
    // The new thread takes this one's signal mask: everything blocked, so
    // that the caller's threads alone receive signals.
    sigset_t everything;
    sigset_t previous;
    sigfillset(&everything);
    ::pthread_sigmask(SIG_BLOCK, &everything, &previous);
    pthread_t thread{};
    const bool created = ::pthread_create(&thread, nullptr, run_entry, &*held) == 0;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!created) return false;
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
