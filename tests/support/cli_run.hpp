// Running the built converter in scratch directories, for the end-to-end
// tests: console text, exit status, which files exist and their bytes, and
// songs whose outputs are worked out by hand.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bytes.hpp"

namespace cli {

namespace fs = std::filesystem;
using test_support::bytes;

struct run_result {
    int status = -1;  // exit status 0-255, or 1000 + signal number
    std::string out;
    std::string err;
};

struct run_options {
    fs::path cwd;
    rlim_t file_size_limit = RLIM_INFINITY;
    std::vector<std::string> environment;  // extra NAME=value entries
    bool unprivileged = false;             // drop root to nobody, so permissions apply
    rlim_t address_space_limit = RLIM_INFINITY;
    bool close_standard_output = false;    // start with descriptors 0 and 1 closed
    bool ignore_hangup = false;            // start with SIGHUP ignored, as nohup does
    bool stderr_must_be_empty = true;
    mode_t umask = 022;
};

inline constexpr uid_t nobody = 65534;
inline constexpr gid_t nogroup = 65534;

struct running_tool {
    pid_t pid = -1;
    int out = -1;  // read end of its standard output
    int err = -1;  // its standard error, a file
};

running_tool start_tool(const std::vector<std::string>& args, const run_options& options = {});
// Reads the rest of its standard output, waits for it to end, and checks that
// its standard error is empty (unless the options say otherwise).
run_result finish_tool(running_tool& tool, const run_options& options = {});
run_result run_tool(const std::vector<std::string>& args, const run_options& options = {});
// Waits until a started run has stopped itself (the fault library's
// TOLVARIN_STOP_AT); false if it ended instead.
bool wait_until_stopped(running_tool& tool);

// Runs the converter with the fault library stopping it at its first write to
// a file. True if it got there (it is then killed); false if it ended without
// writing a file, with its result in `result`.
bool writes_a_file(const std::vector<std::string>& args, run_options options, run_result& result);

// The fault library, preloaded: TOLVARIN_* variables make I/O fail on cue.
std::string preload_faults();

// "Tolvarin BuildDate:[Mmm dd yyyy hh:mm:ss]\n", with only its form known.
bool is_banner(const std::string& line);
// The console text after the banner line; fails the test when the banner is wrong.
std::string after_banner(const std::string& out);

class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / fs::u8path(name); }
    // Regular files below it (links followed), as paths relative to it.
    std::set<std::string> files() const;
    // Temporary files the converter left below it.
    std::set<std::string> temporaries() const;

private:
    fs::path path_;
};

void write_file(const fs::path& path, const bytes& data);
bytes read_file(const fs::path& path);
void expect_file(const fs::path& path, const bytes& expected);

// A sequence whose output is known by hand: its compact stream and the track
// data it must become.
struct song {
    bytes header;
    bytes stream;
    bytes track;

    bytes record() const;
    bytes output() const;
};

extern const song melody;
extern const song tempo_and_bend;
extern const song only_end;
extern const song running_off;

bytes four_song_container();

// A song of `events` note offs (alternating one- and two-byte delta times,
// notes from `first_note` on), each gaining its pad: 3 bytes in, 4 out.
song large_song(int events, std::uint8_t first_note = 0x3C);

}  // namespace cli
