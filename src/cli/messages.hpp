// Every line the program prints besides its banner: the program's interface
// to people and scripts, so each text is written once, here.
#pragma once

#include <cstdint>

#include "platform/native.hpp"

namespace tolvarin {

enum class message : std::uint8_t {
    usage,          // "Usage" and the program's synopsis, on two lines
    cannot_open,    // "No file or already opened : <path>": a container or an output
    cannot_read,    // "Cannot read file : <path>": the container
    too_large,      // "File too large : <path>": the container
    cannot_write,   // "Cannot write file : <path>": an output
    no_memory       // "Cannot alloc memory"
};

// Prints the message's line (its path, where it has one, exactly as given).
void say(message what, const native_char* path = nullptr);

}  // namespace tolvarin
