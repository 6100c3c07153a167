// The container layout: a 16-byte header whose slots say where each song
// starts, followed by the song records themselves.
//
//   offset 0   4 bytes   not interpreted
//   offset 4   u32 LE    slot 2: start of song 2, minus 4 (0 = absent)
//   offset 8   u32 LE    slot 3: the same for song 3
//   offset 12  u32 LE    slot 4: the same for song 4
//   offset 16            song 1 (fixed position, no slot)
//
// A song record is the 22-byte head of a single-track Standard MIDI File
// (header chunk, then the track chunk's tag and length) followed by its
// compact event stream. Records may lie in any order; nothing bounds a track
// but its end-of-track event or the end of the container.
//
// The walk itself is the library's plan_container (tolvarin/tolvarin.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "tolvarin/tolvarin.hpp"

namespace tolvarin {

// Whether `plan` could have been made by plan_container from an image of
// `image_size` bytes: at most four songs, each numbered 1 to 4, its head
// whole inside the image with its first event just behind it, its planned
// end inside the image. Everything that reads the image through a plan
// checks this first, so a plan from another image never leads a read out of
// bounds.
bool plan_fits(const container_plan& plan, std::size_t image_size);

// The track chunk length as stored in bytes 18-21 of a Standard MIDI File:
// big-endian, as the file format requires.
std::array<std::uint8_t, 4> encode_track_length(std::uint32_t length);

}  // namespace tolvarin
