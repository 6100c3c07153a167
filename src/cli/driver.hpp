// The command-line driver: banner, argument check, loading the container and
// writing one Standard MIDI File per song next to it.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/input.hpp"
#include "platform/native.hpp"

namespace tolvarin {

inline constexpr int exit_success = 0;
inline constexpr int exit_failure = -1;

// Writes the outputs for every song the container's slots lead to, in
// order, each to a temporary file renamed over its name once complete.
// Returns false after printing the one line that says what failed; outputs
// before the failed one are complete and new, the failed one and those after
// it keep what their names held, and no temporary file is left behind.
bool write_songs(input_block& input, const native_char* container_path);

// The whole run; `banner` is printed first in every case. Returns the exit status.
int run(int argc, native_char** argv, std::string_view banner);

}  // namespace tolvarin
