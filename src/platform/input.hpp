// The container file, loaded whole: a read-only mapping where the platform
// has one, otherwise a heap block it was read into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/native.hpp"
#include "tolvarin/tolvarin.hpp"

namespace tolvarin {

enum class load_status { loaded, cannot_open, too_large, cannot_read, no_memory };

// Which file the container is, however it was loaded, so that an output name
// that is the container's own file can be told apart: device and inode on
// POSIX, volume serial number and file index on Windows. A pipe or a device
// has no name an output could replace: it stays unknown.
struct file_identity {
    bool known = false;
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
};

// What the change check compares: the size, and the modification and
// status-change times (the latter is the one a writer cannot set back),
// field by field, with no arithmetic on times that may lie anywhere in
// their range.
struct file_stamp {
    std::uint64_t size = 0;
    std::int64_t modified_seconds = 0;
    std::int64_t modified_nanoseconds = 0;
    std::int64_t changed_seconds = 0;
    std::int64_t changed_nanoseconds = 0;
    bool operator==(const file_stamp&) const = default;
};

struct input_block {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    void* owned = nullptr;   // heap block to free, if the file was read
    std::size_t mapped = 0;  // bytes mapped, if the file is mapped
    file_identity identity;
    // A mapped file's descriptor stays open with its stamp as it was when
    // mapped, so that a change to the file can be seen (POSIX).
    int descriptor = -1;
    file_stamp stamp;
};

// Loads the file whole. Directories and unopenable files give cannot_open;
// files of 4 GiB or more give too_large; a read that does not deliver every
// byte gives cannot_read.
load_status load_input(const native_char* path, input_block& block);
void release_input(input_block& block);

// Runs `work`, which reads the input block. A mapped file that someone
// truncates meanwhile makes such reads fault; then the work is abandoned
// where it stands and false is returned. `work` must hold nothing that needs
// cleaning up when abandoned: no lock, no allocation in progress. Any thread
// may call it, several at once.
bool read_input_guarded(function_ref<void()> work);

// False when the file behind a mapped block no longer has the stamp it had
// when loaded: bytes read from it may be wrong.
bool input_unchanged(const input_block& block);

// Whether read_input_at can copy the block's bytes from its file: a mapped
// file large enough to be worth it, on POSIX. The translation (ahead, and in
// order) then reads the file into memory of its own rather than touching the
// mapping's pages, whose first touch costs more than a copy on some machines.
bool input_readable_at(const input_block& block);

// Copies the file's bytes from `offset` on into `into`, all of them: false
// when the file no longer holds them (cut short) or a read failed.
bool read_input_at(const input_block& block, std::uint32_t offset, std::span<std::uint8_t> into);

}  // namespace tolvarin
