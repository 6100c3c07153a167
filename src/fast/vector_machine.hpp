// The translation of whole stretches of a track at once, on processors with
// vectors and byte shuffles.
//
// A stretch of 4 KiB is cut into 128 units of 32 bytes, and the state machine
// of state_machine.hpp runs over all of them side by side, one vector lane a
// unit: the units' bytes are transposed so that one vector holds the i-th
// byte of every unit, and each step moves every lane on by one byte through
// table lookups. Two engines do this (stretch_walk.hpp): the vector level's,
// 64 units to a vector with one 128-entry permute a step (AVX-512 VBMI), and
// the shuffle level's, 32 units to a vector with 16-entry shuffles (AVX2):
// there the lookup by state and byte category is split in two, by state for
// bytes below 0x80 and for bytes from 0x80 on, and the few entries that
// depend on the category alone come from the byte. A unit's start state is not known until the unit
// before it is translated, so it is guessed: first the state at an event
// boundary, then, pass after pass, the state the pass before left at the end
// of the unit before. Paths from different starts mostly fall into step
// within a unit or two (an explicit status read where a status stands sets
// them all), so after four passes nearly every guess is right. A walk over
// the units in order then checks each guess against the true state the unit
// before ended in. A unit whose guess was wrong is worked out from the true
// state: at once where it lies in a run of running events (see skip_unit),
// otherwise one byte at a time. Every unit's output is its
// bytes with a zero behind each padded data byte, put in place with one
// vector expand.
//
// The machine escapes at an end of track and at a length byte of 0x80 or
// more; the stretch then ends at the boundary of that event, which the
// caller translates the ordinary way. The result is tested against the
// byte-at-a-time translation, like every other path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fast/fast_translate.hpp"

namespace tolvarin::machine {

// Whether this processor has what a level's stretches need; never for the
// portable level.
bool stretch_level_available(wide_level level);

// The input a call needs beyond its stretches, and the output room.
inline constexpr std::size_t stretch_bytes = 4096;
inline constexpr std::size_t stretch_input_margin = 1024;
inline constexpr std::size_t stretch_output_room = stretch_bytes + stretch_bytes / 2 + 128;
// The room a call needs left to take one more stretch: its output and the
// step on to the next boundary behind it (up to a meta event of 255 bytes
// and its pads).
inline constexpr std::size_t stretch_room_needed = stretch_output_room + 512;

// A stretch pays for its passes when this much of it lies before the stop.
inline constexpr std::size_t least_stretch_bytes = 1024;

// Translates stretches from `cursor` (an event boundary) while a stretch
// leaves stretch_input_margin bytes of the image behind it and fits in the
// room left, and its first 32 bytes lie before `stop`; a stretch that
// reaches past the stop is cut at it. Then goes on to the next event
// boundary. Returns the bytes written and leaves `cursor` at that boundary;
// writes nothing when no stretch can be taken. `level` is the shuffle or
// the vector level; call only where stretch_level_available(level).
//
// Some streams never let the guesses fall into step (running events of one
// class with delta times of two bytes, say, or texts one after another), and
// their units are translated again one byte at a time: slower than the
// event-by-event path. At a stretch whose passes leave more than two dozen
// guesses out of step, or after one in which more than a quarter of the
// guesses were wrong, the call ends early; and it says so in `poor`, as it
// does when the stretches it took had more than a dozen such units each on
// average. The caller goes on the other way.
std::size_t translate_stretches(byte_view image, event_cursor& cursor, std::uint32_t stop,
                                std::span<std::uint8_t> room, bool& poor, wide_level level);

}  // namespace tolvarin::machine
