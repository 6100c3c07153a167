#include "platform/threads.hpp"

#include <windows.h>

namespace tolvarin {
namespace {

DWORD WINAPI run_worker(void* entry) {
    (*static_cast<const function_ref<void()>*>(entry))();
    return 0;
}

}  // namespace

// Console control events reach the process on a thread of their own, so
// workers need nothing blocked here.
bool start_worker(const function_ref<void()>& entry, worker_thread& thread) {
    const HANDLE handle = ::CreateThread(nullptr, 0, run_worker, const_cast<function_ref<void()>*>(&entry), 0, nullptr);
    thread.handle = reinterpret_cast<std::uintptr_t>(handle);
    return handle != nullptr;
}

void join_worker(worker_thread& thread) {
    const auto handle = reinterpret_cast<HANDLE>(thread.handle);
    ::WaitForSingleObject(handle, INFINITE);
    ::CloseHandle(handle);
    thread.handle = 0;
}

}  // namespace tolvarin
