// The platform layer: arguments, console text, the input file and the output
// files. Everything that differs between POSIX and Windows lives behind these
// few functions; the converter core never sees a path or a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "output_name.hpp"

namespace tolvarin {

#ifdef _WIN32
using native_char = wchar_t;
inline constexpr path_syntax native_path_syntax = path_syntax::windows;
#else
using native_char = char;
inline constexpr path_syntax native_path_syntax = path_syntax::posix;
#endif
using native_string = std::basic_string<native_char>;

// Process-wide set-up done once at start: signal dispositions on POSIX (a
// closed pipe or a file-size limit must turn into a checked error, not kill
// the process halfway through a file), the console's text mode on Windows.
void prepare_process();

// Console output, all on standard output, in call order.
void print_text(std::string_view text);
// `prefix`, then the path exactly as given, then a line break.
void print_path_line(std::string_view prefix, const native_char* path);
void flush_console();

enum class load_status { loaded, cannot_open, too_large, cannot_read, no_memory };

// The whole input file in one block of memory: a read-only mapping of the
// file where the platform has one, otherwise a heap block it was read into.
struct input_block {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    void* owned = nullptr;       // heap block to free, if the file was read
    std::size_t mapped = 0;      // bytes mapped, if the file is mapped
#ifndef _WIN32
    int descriptor = -1;         // kept open while mapped, to see whether the file changes
    std::int64_t modified = 0;   // its modification time when loaded, in nanoseconds
#endif
};

// Loads the file whole. Directories and unopenable files give cannot_open;
// files of 4 GiB or more give too_large; a read that does not deliver every
// byte gives cannot_read.
load_status load_input(const native_char* path, input_block& block);
void release_input(input_block& block);

// Runs `work(context)`, which reads the input block. A mapped file that
// someone truncates meanwhile makes such reads fault; then the work is
// abandoned where it stands and false is returned. `work` must hold nothing
// that needs cleaning up when abandoned.
bool read_input_guarded(void (*work)(void*), void* context);

// False when the file behind a mapped block no longer has the size and
// modification time it had when loaded: bytes read from it may be wrong.
bool input_unchanged(const input_block& block);

struct output_file {
#ifdef _WIN32
    void* handle = nullptr;
#else
    int descriptor = -1;
#endif
};

// Creates the file, or empties an existing one. Fails for anything that is not
// a regular file once opened.
bool create_output(const native_string& name, output_file& file);
bool write_output(output_file& file, const std::uint8_t* data, std::size_t size);
bool write_output_at(output_file& file, std::uint64_t offset, const std::uint8_t* data,
                     std::size_t size);
// Closes the file; false when the system reports that the data did not make it.
bool close_output(output_file& file);
void remove_output(const native_string& name);

}  // namespace tolvarin
