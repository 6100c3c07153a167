// Output files: each written to a temporary file beside its name and renamed
// over the name only once it is complete, so that the name holds either its
// earlier content or the whole new file, whatever happens to the run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/input.hpp"
#include "platform/native.hpp"

namespace tolvarin {

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

// An output in progress: its temporary file, open or closed.
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
// Writes at `offset`, all of it or false. Safe on several threads at once
// for stretches that do not overlap: the file's own position is not used.
bool write_output_at(const output_file& file, std::uint64_t offset, const std::uint8_t* data,
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
