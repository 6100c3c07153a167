// What the POSIX files of the platform layer share: the interruption
// signals, the set-up each file does at start, calls retried when a signal
// interrupts them, and what the change check reads from a file's status.
#pragma once

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/input.hpp"

namespace tolvarin {

// SIGINT, SIGTERM, SIGHUP and SIGQUIT, as a set: blocked while a temporary
// file is created, renamed or removed together with its entry, and in every
// worker thread.
sigset_t interruption_set();

// Those signals remove every temporary file in progress, then end the
// process the way the signal would have (output.cpp).
void install_interruption_cleanup();

// A fault on the mapped container returns to the guard (input.cpp).
void install_input_fault_handler();

// Calls `call` again for as long as a signal interrupts it (a result of -1
// with errno EINTR), and returns its first other result.
template <class Call>
auto retry_on_interrupt(Call call) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) return result;
    }
}

inline file_stamp stamp_of(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_size), static_cast<std::int64_t>(info.st_mtim.tv_sec),
            static_cast<std::int64_t>(info.st_mtim.tv_nsec), static_cast<std::int64_t>(info.st_ctim.tv_sec),
            static_cast<std::int64_t>(info.st_ctim.tv_nsec)};
}

inline file_identity identity_of(const struct stat& info) {
    return {true, static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace tolvarin
