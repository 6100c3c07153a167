// Translating a track in chunks that need not wait for each other.
//
// Where an event starts depends on every event before it, so a translation
// is a chain of dependent loads, bound by their latency rather than by the
// work per byte. A chunk's translation can start without waiting for the one
// before it by guessing: from the chunk's first byte, with a guessed running
// status, recording the boundaries (position and running class) of the first
// events it passes. A wrong guess soon falls into step with the true events,
// since the guessed and the true boundaries lie close together and an
// explicit status sets the class. When the true translation of the chunk
// before reaches a recorded boundary, everything the guess wrote from there
// on is exactly what the true translation would write (the rest of a track
// depends on nothing but the boundary), and the chunks are stitched there. A
// chunk the true translation never meets on a recorded boundary is
// translated again from the true boundary, so a guess can cost time but
// never change a byte.
//
// Nor does a guess start with the class. A chunk starts with the class
// unknown, and events with explicit statuses need none; the first running
// event met decides it (guessed as no running status, see guessed_chunks.cpp)
// unless an explicit channel status has settled it already. Boundaries
// passed before that hold for whatever the true class is, as long as the
// guess, if one was taken, was right. So a stream of meta events, which never
// sets a class, stitches wherever its positions meet.
//
// speculate_chunks interleaves several chunks one event at a time, so that
// their chains of loads overlap; stitch_chunk joins them in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fast/fast_translate.hpp"
#include "fast/image_copy.hpp"

namespace tolvarin {

// A boundary a chunk's translation passed, with the output it had written
// before the event there. Its class may be unknown_running.
struct boundary_record {
    std::uint32_t position;
    running_class running;
    std::uint32_t written;
};

inline constexpr std::size_t max_boundary_records = 48;

// The most chunks one thread interleaves.
inline constexpr unsigned max_lanes = 4;

// The output room a chunk of `input_bytes` needs: its events write at most
// 1.5 bytes per byte they read (a note off's two bytes become three; a meta
// event of 128 or more bytes grows by one), and the last may start just
// before its end and write 261 bytes.
constexpr std::size_t chunk_output_room(std::size_t input_bytes) { return input_bytes + input_bytes / 2 + 1024; }

// One chunk of a track: the events that start in [begin, end).
struct chunk_job {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    // Set when begin is a true boundary and `running` its class (the first
    // chunk of a track); otherwise the translation guesses.
    bool known = false;
    running_class running = no_running;
    std::uint8_t* out = nullptr;  // chunk_output_room(end - begin) bytes

    // Filled by speculate_chunks.
    std::array<boundary_record, max_boundary_records> records{};
    std::uint32_t record_count = 0;
    running_class guess = unknown_running;  // the class guessed, if one was
    event_cursor exit;        // the first boundary at or past end, or finished
    std::size_t written = 0;  // output bytes up to exit
    // A chunk with no byte of 0x80 or more is a run of running events (or
    // of delta times, with no running status) whose phase nothing shows;
    // under a class without a pad its output is its bytes whatever the
    // phase. Then this many bytes from begin (past exit) are in `out` as
    // they are, and the chunk is met at any true boundary (stitch_chunk).
    std::uint32_t copied_run = 0;
};

// Translates the chunks: at the portable level up to `lanes` (1-4) of them
// at a time interleaved; at the shuffle and vector levels one after the other in whole
// stretches, unless the first stretches of the first chunk show the
// machine's guesses failing (a stream with no byte that shows where its
// events start), and then at the portable level. Returns the level taken.
wide_level speculate_chunks(byte_view image, std::span<chunk_job> jobs, unsigned lanes = 4,
                            wide_level level = wide_level::portable);

// The same over a copy of part of the image, the jobs' positions the
// image's. A chunk whose translation ran to the copy's end before the
// image's keeps no boundary (an event may go on past the copy), and is
// translated again when stitched.
wide_level speculate_chunks(const image_copy& bytes, std::span<chunk_job> jobs, unsigned lanes,
                            wide_level level);

// Joins a speculated chunk to the true translation, whose cursor stands at
// the first true boundary at or past the chunk's begin. The true translation
// goes on into `bridge` (chunk_output_room(end - begin) bytes) until it meets
// a recorded boundary, or else to the chunk's end; `cursor` then stands at
// the first true boundary at or past the end (or is finished). The output is
// the bridge's first `bridge_bytes` and then, if `kept`, the chunk's own
// output from `kept_from` to `kept_to` (its `written`, but where the chunk
// is met as a copied run).
struct stitch_result {
    std::size_t bridge_bytes = 0;
    bool kept = false;
    std::size_t kept_from = 0;
    std::size_t kept_to = 0;
};
// `bytes` may be a copy of part of the image, with the cursor inside it. The
// bridge then ends where the copy does when its bytes ran out; when the
// cursor stands there and is not kept, and the copy does not hold that
// position (image_copy::holds), the bridge is not the image's (an event may
// go on past the copy) and the stitch is to be done again on the image.
stitch_result stitch_chunk(const image_copy& bytes, event_cursor& cursor, const chunk_job& job,
                           std::span<std::uint8_t> bridge, wide_level level = wide_level::portable);
inline stitch_result stitch_chunk(byte_view image, event_cursor& cursor, const chunk_job& job,
                                  std::span<std::uint8_t> bridge, wide_level level = wide_level::portable) {
    return stitch_chunk(image_copy::whole(image), cursor, job, bridge, level);
}

// The image position up to which stitch_chunk reads from `cursor` on, when
// the bridge meets a recorded boundary: the last one (records are in order),
// or the chunk's end when none is at or past the cursor. The cursor's own
// position when the stitch reads nothing: it meets the chunk where it stands.
std::uint32_t stitch_reach(const event_cursor& cursor, const chunk_job& job);

}  // namespace tolvarin
