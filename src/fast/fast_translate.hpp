// The translation at speed. Gives exactly the bytes of the byte-at-a-time
// translation in event_stream.hpp, which it falls back on near the end of the
// image and of the output room, and against which it is tested.
//
// Two things make it fast. Each event is read with one wide load and written
// with one wide store, its length and the next running-status class taken
// from a table rather than from branches: real event streams mix running and
// explicit statuses too irregularly for branch prediction. And a stretch of
// bytes below 0x80 under a known running status is a run of events of one
// fixed size (delta time and data bytes), so a scan for the next byte of 0x80
// or more bounds a stretch that is copied, or expanded by the note-off and
// pitch-bend pad, in bulk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "format/event_stream.hpp"
#include "format/event_tables.hpp"

namespace tolvarin {

// How much of a track may be translated at once: event by event with the
// wide steps every processor of the build's target has (portable), or whole
// stretches side by side (vector_machine.hpp) with 16-byte shuffles (shuffle:
// AVX2 on x86-64) or with 64-byte permutes (vector: AVX-512 VBMI), where the
// processor has them. Chosen when the program runs, so that one build serves
// every processor; tests force each level. Ordered from narrow to wide.
enum class wide_level : std::uint8_t { portable, shuffle, vector };

// The widest level this processor has.
wide_level best_wide_level();

// Whether a level takes whole stretches.
constexpr bool takes_stretches(wide_level level) { return level != wide_level::portable; }

// Everything the translation of the rest of a track depends on, between two
// events: where the next delta time starts and the running-status class.
// A position just behind a delta-time byte of 0x80 or more is such a
// boundary too: the delta time goes on there exactly as an event would start.
struct event_cursor {
    std::uint32_t position = 0;
    running_class running = no_running;
    bool finished = false;  // an end of track was written, or the image ran out
};

inline bool operator==(const event_cursor& a, const event_cursor& b) {
    return a.position == b.position && a.running == b.running && a.finished == b.finished;
}

// The opening offer (see translate_track) of a track whose events start at
// `first_event`: writes at most max_step_output bytes at `out`, advances it,
// and returns the cursor for the events behind it.
event_cursor open_track(byte_view image, std::uint32_t first_event, std::uint8_t*& out);

// Translates the events that start before `stop`, from `cursor` on, while the
// room left in `out` holds one more whole event (max_step_output bytes).
// Returns the bytes written; bytes of `out` behind them may have been
// overwritten. The image must be smaller than 4 GiB.
// At the shuffle and vector levels, whole stretches are taken where they fit; where the
// stretches' guesses keep failing, the rest of the call goes event by event
// and `poor`, if given, is set.
std::size_t translate_events(byte_view image, event_cursor& cursor, std::uint32_t stop,
                             std::span<std::uint8_t> out, wide_level level = wide_level::portable,
                             bool* poor = nullptr);

}  // namespace tolvarin
