// The platform layer: arguments, console text, the input file and the output
// files. Everything that differs between POSIX and Windows lives behind these
// few functions; the converter core never sees a path or a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include "temporary_name.hpp"
#include "tolvarin/tolvarin.hpp"

namespace tolvarin {

#ifdef _WIN32
using native_char = wchar_t;
#else
using native_char = char;
#endif
// The longest path that every Windows program can open, terminator included.
inline constexpr std::size_t max_windows_path = 260;

// Process-wide set-up done once, first of all: standard descriptors that are
// closed are opened on the null device (so no file the program opens can take
// their place), a closed pipe or a file-size limit becomes a checked error
// instead of killing the process halfway through a file, and an interruption
// removes the temporary files in progress before the process ends.
void prepare_process();

// Part of prepare_process, kept with the output files whose temporaries it
// removes: SIGINT, SIGTERM, SIGHUP and SIGQUIT (on Windows the console's
// Ctrl-C, Ctrl-Break and close) remove every temporary file in progress, then
// end the process the way the signal would have. A signal ignored at start
// stays ignored.
void install_interruption_cleanup();
#ifndef _WIN32
// Those four signals, as a set: blocked while a temporary file is created,
// renamed or removed together with its entry, and in every worker thread.
sigset_t interruption_set();
#endif

// Console output, all on standard output, in call order. Each call is one
// line, written at once, so an interrupted run still shows what it printed.
void print_text(std::string_view text);
// `prefix`, then the path exactly as given, then a line break.
void print_path_line(std::string_view prefix, const native_char* path);

enum class load_status { loaded, cannot_open, too_large, cannot_read, no_memory };

// The whole input file in one block of memory: a read-only mapping of the
// file where the platform has one, otherwise a heap block it was read into.
struct input_block {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    void* owned = nullptr;       // heap block to free, if the file was read
    std::size_t mapped = 0;      // bytes mapped, if the file is mapped
    // Which file the container is, however it was loaded (mapped or read),
    // so that an output name that is the container's own file can be told
    // apart: device and inode on POSIX, volume serial number and file index
    // on Windows. A pipe or a device has no name an output could replace:
    // it stays unidentified.
    bool identified = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
#ifndef _WIN32
    // A mapped file's descriptor stays open, so that a change to the file can
    // be seen: its size and its modification and status-change times as they
    // were when it was mapped. The status-change time is the one a writer
    // cannot set back.
    int descriptor = -1;
    std::int64_t modified_seconds = 0;
    std::int64_t modified_nanoseconds = 0;
    std::int64_t changed_seconds = 0;
    std::int64_t changed_nanoseconds = 0;
#endif
};

// Loads the file whole. Directories and unopenable files give cannot_open;
// files of 4 GiB or more give too_large; a read that does not deliver every
// byte gives cannot_read.
load_status load_input(const native_char* path, input_block& block);
void release_input(input_block& block);

// Runs `work`, which reads the input block. A mapped file that
// someone truncates meanwhile makes such reads fault; then the work is
// abandoned where it stands and false is returned. `work` must hold nothing
// that needs cleaning up when abandoned: no lock, no allocation in progress.
// Any thread may call it, several at once.
bool read_input_guarded(function_ref<void()> work);

// False when the file behind a mapped block no longer has the size and times
// it had when loaded: bytes read from it may be wrong.
bool input_unchanged(const input_block& block);

// A thread doing part of the conversion. It runs with the interruption
// signals blocked, so that only the main thread handles them.
struct worker_thread {
#ifdef _WIN32
    void* handle = nullptr;
#else
    pthread_t handle{};
#endif
};

// False when the system will not start another thread (a resource limit):
// the caller goes on with fewer.
// `entry` must stay valid until the thread is joined.
bool start_worker(const function_ref<void()>& entry, worker_thread& thread);
void join_worker(worker_thread& thread);

// The directory the outputs are written to, held open for the whole run so
// that every check and every rename happens in the same directory, whatever
// is done to the path meanwhile.
struct output_directory {
#ifdef _WIN32
    const native_char* prefix = nullptr;  // drive and directory, with its trailing separator
#else
    int descriptor = -1;
#endif
};

// `directory` is the drive and directory part of the output names (empty for
// the current directory); on Windows it must outlive `dir`. False when it
// cannot be opened.
bool open_output_directory(const native_char* directory, output_directory& dir);
void close_output_directory(output_directory& dir);

// An output in progress: a temporary file beside the output name, renamed
// over it only once it is complete, so that the name holds either its earlier
// content or the whole new file, whatever happens to the run.
struct output_file {
#ifdef _WIN32
    void* handle = nullptr;
    wchar_t temporary[max_windows_path];  // full path of the temporary file
#else
    int descriptor = -1;
    int entry = -1;                  // its place in the list of temporary files
    bool replaces_input = false;     // the output name is another name of the input file
#endif
    bool open = false;       // the temporary file is open
    bool exists = false;     // the temporary file exists
};

// Starts the output `leaf` (a name inside `dir`). Refused, with false and no
// file created, when the name is held by anything but a regular file or a
// symbolic link, by a regular file the user may not write, by a file that the
// directory's sticky bit keeps the user from replacing, by the container's
// own file where it is that file's last name (replacing it would delete the
// container), or when no file can be created in the directory. A regular
// file's permission bits (and, for root, its owner) pass to the new file.
// `input` is the container, whose own file may be at the output name.
bool create_output(const output_directory& dir, const native_char* leaf, const input_block& input,
                   output_file& file);
bool write_output(output_file& file, const std::uint8_t* data, std::size_t size);
bool write_output_at(output_file& file, std::uint64_t offset, const std::uint8_t* data,
                     std::size_t size);
// Closes the temporary file; false when the system reports that the data did
// not make it.
bool close_output(output_file& file);
// Renames the finished, closed temporary file over the output name. False
// when the system refuses; the temporary file is then removed.
bool commit_output(const output_directory& dir, const native_char* leaf, input_block& input,
                   output_file& file);
// Closes and removes the temporary file, if any; the output name keeps what
// it held.
void discard_output(const output_directory& dir, output_file& file);

}  // namespace tolvarin
