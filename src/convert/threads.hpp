// The library's own worker threads, for callers that give no starter:
// threads of the system's API (no exception when one cannot be had). Each
// starts with every signal blocked but those a faulting read raises, so
// that signals meant for the process (an interruption, a timer) stay with
// the caller's threads, while a fault reaches the guard of the thread that
// faulted: a synchronous fault signal that is blocked ends the process.
#pragma once

#include <cstdint>
#include <optional>

#include "tolvarin/tolvarin.hpp"

namespace tolvarin {

inline constexpr unsigned max_threads = 8;

// The threads a conversion runs on: `asked` (0: one per usable processor)
// within 1 to max_threads, and 1 for fewer than `threaded_bytes` of tracks.
unsigned threads_to_use(unsigned asked, std::uint64_t track_bytes, std::uint64_t threaded_bytes,
                        unsigned processors);

class system_threads final : public worker_starter {
public:
    system_threads() = default;
    ~system_threads() { join_all(); }
    system_threads(const system_threads&) = delete;
    system_threads& operator=(const system_threads&) = delete;

    bool start(function_ref<void()> entry) override;
    void join_all() override;

private:
    // A pthread_t or a HANDLE: either fits in a pointer-sized integer.
    [[maybe_unused]] std::uintptr_t handles_[max_threads]{};
    std::optional<function_ref<void()>> entries_[max_threads];
    unsigned started_ = 0;
};

}  // namespace tolvarin
