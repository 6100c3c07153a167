// Small helpers shared by the tests: hex byte strings, containers assembled
// from sequence records, and driving the translation into a vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fast/fast_translate.hpp"

namespace test_support {

using bytes = std::vector<std::uint8_t>;

// "00 90 3C" -> {0x00, 0x90, 0x3C}; whitespace is ignored.
bytes hex(std::string_view text);
std::string hex_string(const bytes& data);

bytes concat(std::initializer_list<bytes> parts);

// `piece` `times` times over.
bytes repeat(const bytes& piece, std::size_t times);

// A 22-byte header block: MThd, length 6, format 0, one track, the given
// division, MTrk, and `stored_length` in the length field.
bytes header_block(std::uint16_t division = 96, std::uint32_t stored_length = 0xDEADBEEF);

// The header block with bytes 18-21 replaced by `length`, big-endian: what a
// correct output starts with.
bytes with_track_length(bytes header, std::uint32_t length);

void put_u32_le(bytes& data, std::size_t offset, std::uint32_t value);

// A container with sequence 1 at offset 16 and the others appended behind it
// in order; their slots are filled in. `records` are full sequence records
// (header block followed by the compact stream).
bytes container_of(const std::vector<bytes>& records);

// Every output of the container as the reference (model.hpp) translates
// its track: the head, its track length (big-endian) in bytes 18-21, then
// the track; one for each song the container walk finds.
std::vector<bytes> reference_outputs(const bytes& image);

// The track starting at `first_event` translated to its end by every path the
// product has, each offered `room` bytes of output space at a time (at least
// max_step_output), so that tests hold each path to the same bytes.
struct translation {
    std::string path;
    bytes output;
};
std::vector<translation> translate_all(const bytes& image, std::uint32_t first_event, std::size_t room);

// The chunked translation: chunks of `chunk_bytes` from the track's start to
// the end of the image, speculated `lanes` at a time, stitched in order. With
// a `group`, the chunks are speculated that many to a call, as the pipeline
// gives them out; otherwise all in one.
bytes translate_chunked(const bytes& image, std::uint32_t first_event, std::uint32_t chunk_bytes, unsigned lanes,
                        tolvarin::wide_level level = tolvarin::wide_level::portable, std::size_t group = 0);
// Only the paths that translate whole stretches side by side, at each level
// that takes them and this processor has (none where it has none).
std::vector<translation> translate_vector_paths(const bytes& image, std::uint32_t first_event);

// The levels that take whole stretches, with the names the tests and the
// benchmarks give them on this processor's architecture.
std::vector<std::pair<tolvarin::wide_level, const char*>> stretch_levels();

}  // namespace test_support
