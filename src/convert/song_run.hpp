// Converting a plan's songs, one step at a time: the one routine behind both
// interfaces. The C++ interface hands each step to the caller's sink (the
// head first, its length patched in afterwards); the C interface hands out
// the track's pieces and then the head with its length filled in.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "convert/pipeline.hpp"
#include "tolvarin/tolvarin.hpp"

namespace tolvarin {

struct song_run {
    byte_view image;
    std::array<song_place, max_songs> songs{};
    std::uint32_t count = 0;    // songs in the run
    std::uint32_t current = 0;  // the run's song under way (0 for its first)
    bool begun = false;         // the current song's head was handed out
    // Each head, copied before anything is handed out, so that what the
    // caller is given is always the library's memory, never the image.
    std::array<std::array<std::uint8_t, header_block_size>, max_songs> heads{};
    pipeline_track tracks[max_songs]{};
    pipeline_handle pipeline;
    std::uint64_t track_length = 0;  // of the current song, so far
    song_output ended;               // the song that just ended
    conversion_status failure = conversion_status::done;
};

enum class run_step : std::uint8_t {
    song_begins,  // songs[current]'s output begins; its head is heads[current]
    piece,        // the next piece of the current song's track
    song_ends,    // the current song's track is complete: `ended` reports it
    join,         // a split track met the other side's reading: see join_run
    finished,     // every song was converted
    failed        // `failure` says why; nothing more comes
};

// Checks the plan against the image and starts converting its songs `first`
// to `last` - 1. done when started; otherwise bad_argument, no_memory or
// input_fault, and nothing was handed out. `run` must stay where it is until
// it is finished with. With `placed`, the stretches translated ahead are
// written at their places in the track by it, on any thread, and handed out
// as pieces with no data; a refused one fails the run as stopped.
conversion_status start_run(song_run& run, byte_view image, const container_plan& plan, std::uint32_t first,
                            std::uint32_t last, const conversion_options& options, const conversion_tuning& tuning,
                            std::optional<function_ref<bool(std::uint64_t, byte_view)>> placed = std::nullopt,
                            std::uint32_t split = no_split);

// Answers a join step. With `joined`, the other side's output from
// join_offset on, `added` bytes, is the rest of the current song's track, and
// its translation stopped at `end_position` in the image: the next step is
// the song's end (or failed, as track_too_long, when the track would be too
// long). Without, the rest is translated here. False when no join waits.
bool join_run(song_run& run, bool joined, std::uint64_t added, std::uint32_t end_position);

// The run's next step; a piece's bytes in `piece`, valid until the next call.
// What a caller's guard or reader threw on a worker thread is thrown again
// here, once every worker has stopped.
run_step next_step(song_run& run, track_piece& piece);

}  // namespace tolvarin
