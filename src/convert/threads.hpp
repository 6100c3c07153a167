// The library's own worker threads, for callers that give no starter:
// threads of the system's API (no exception when one cannot be had), started
// with every signal blocked so that signals stay with the caller's threads.
#pragma once

#include <cstdint>
#include <optional>

#include "tolvarin/tolvarin.hpp"

namespace tolvarin {

inline constexpr unsigned max_threads = 8;

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
