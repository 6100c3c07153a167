// The container layout: a 16-byte header whose slots say where each sequence
// starts, followed by the sequences themselves.
//
//   offset 0   4 bytes   not interpreted
//   offset 4   u32 LE    slot 2: start of sequence 2, minus 4 (0 = absent)
//   offset 8   u32 LE    slot 3: the same for sequence 3
//   offset 12  u32 LE    slot 4: the same for sequence 4
//   offset 16            sequence 1 (fixed position, no slot)
//
// A sequence is the 22-byte head of a single-track Standard MIDI File (header
// chunk, then the track chunk's tag and length) followed by its compact event
// stream. Sequences may lie in any order; nothing bounds a sequence but its
// end-of-track event or the end of the container.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "event_stream.hpp"

namespace tolvarin {

inline constexpr std::size_t container_header_size = 16;
inline constexpr std::size_t header_block_size = 22;
inline constexpr std::size_t track_length_offset = 18;
inline constexpr std::uint32_t max_sequences = 4;

struct sequence_list {
    std::array<std::uint32_t, max_sequences> positions{};  // start of each sequence record
    std::uint32_t count = 0;                                // sequences 1..count are extracted
};

// Walks the slots in order: sequence 1 at offset 16, then each present slot in
// turn. The walk stops at the first absent slot, at the first position not
// below the image size, and at the first header block that does not fit in
// the image. A container shorter than its 16-byte header has no slots.
sequence_list find_sequences(byte_view image);

// The track chunk length as stored in bytes 18-21 of a Standard MIDI File:
// big-endian, as the file format requires.
std::array<std::uint8_t, 4> encode_track_length(std::uint32_t length);

}  // namespace tolvarin
