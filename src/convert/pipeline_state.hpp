// The pipeline's state, shared by its parts: the memory it lives in
// (pipeline_memory.cpp), the claims of groups between threads
// (pipeline_claims.cpp), the copies the translation reads
// (pipeline_copies.cpp), and the handing out of pieces in order
// (pipeline.cpp). Only those files include this.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <span>

#include "convert/guarded.hpp"
#include "convert/pipeline.hpp"
#include "convert/shared_writes.hpp"
#include "convert/threads.hpp"

namespace tolvarin {

// A track whose speculation fails this many groups in a row (a stream of
// running events with no byte that shows its phase, say) is translated in
// order from then on, and its groups are left to the reading thread, except
// one in every probe_spacing: a probe that, once it stitches, lets the others
// speculate again.
inline constexpr unsigned failures_before_serial = 2;
inline constexpr std::uint32_t probe_spacing = 16;
// A track whose group showed the stretches' guesses failing (at the shuffle
// or vector level) has its next groups speculated at the portable level,
// and the stretches tried again after this many.
inline constexpr std::uint32_t vector_retry_spacing = 16;
// Room for every thread to run well ahead of the stitching (2 MiB of input
// each), so that a thread slowed down (by another program on its processor,
// say) holds the others up as little as possible; one thread needs no more
// than the group it stitches next.
inline constexpr std::uint32_t slots_per_thread = 4;
static_assert(slots_per_thread * max_threads <= max_placed_slots);

// A group is claimed by the thread that speculates it, then ready to be
// stitched. A group the reading thread needs while its speculation is still
// under way elsewhere, and it has nothing else to do, is taken over:
// translated in order there and then, rather than waited for. Its slot is
// freed by whichever of the two is done with it last.
enum class group_state : std::uint8_t { unclaimed, claimed, ready, taken_over };

// A group of consecutive chunks of one track: one thread's unit of work.
struct group_plan {
    std::uint32_t track;
    std::uint32_t begin;
    std::uint32_t end;
    bool first;  // the track's first group, whose first chunk starts at a known boundary
    std::uint32_t slot;
    group_state state;
    bool speculated;  // false when skipped: the track ended before it, or goes in order
};

struct track_progress {
    event_cursor cursor;  // the true translation: where it stands
    std::uint8_t opening[max_step_output];
    std::size_t opening_bytes;
    std::uint32_t first_group;
    std::uint32_t group_count;
    std::atomic<bool> done;    // its end is written: skip its groups
    std::atomic<bool> serial;  // translated in order, but for the probes
    unsigned failures;
    // The stretches are not tried on the track's groups before this one:
    // its guesses failed on a group before (see speculate_chunks). Only a
    // hint, so relaxed.
    std::atomic<std::uint32_t> vector_from_group;
    std::uint32_t split;  // no_split, or where the other side takes over
    bool split_tried;     // its join was tried (met or not)
};

// A slot: the jobs and output room of the group one thread is speculating
// or the reading thread is stitching. There are a few per thread, so that
// threads can run ahead of the stitching; a group waits for a free one.
struct slot {
    chunk_job* jobs;  // `lanes` of them, each with its output room
};

// Where the reading thread stands: the track whose output it hands out, and
// within it the opening, the planned groups (one chunk at a time) and the
// rest of the track; on a split track, the join waiting for its answer.
enum class phase : std::uint8_t { opening, groups, rest, joining };

struct reading_place {
    std::uint32_t track = 0;
    phase at = phase::opening;
    std::uint32_t group = 0;     // the next group of the track, or the one in hand
    bool holding = false;        // the group is in hand: waited for, not yet released
    bool taken_over = false;     // the group in hand is translated in order
    std::uint32_t chunk = 0;     // its next chunk
    unsigned chunks_stitched = 0;
    unsigned chunks_kept = 0;
    track_piece queued;          // the second piece of the chunk just stitched
    std::uint64_t output_bytes = 0;  // of the track, handed out so far
    std::uint64_t join_offset = 0;   // at a join: see join_offset
};

// What each worker thread runs: the pipeline's own, so that it lives as long
// as the workers do.
struct worker_entry {
    pipeline* state;
    void operator()() const;
};

struct pipeline {
    byte_view image;
    pipeline_settings settings;
    std::uint32_t chunk_room;
    group_plan* groups;
    std::uint32_t group_count;
    track_progress* tracks;
    std::size_t track_count;
    slot* slots;
    std::uint32_t* free_slots;
    std::uint32_t free_count;
    std::uint8_t* bridge;  // the reading thread's output room
    // With an image_reader, each thread's room for its copies of the image
    // (image_copy): of the group it speculates, and the reading thread's
    // also of what it translates in order or stitches. The reading thread's
    // first, then the workers' in the order they start.
    std::uint8_t* copy_rooms;
    std::size_t copy_room_bytes;
    unsigned copy_rooms_taken;
    std::uint32_t next_claim = 0;
    bool stop = false;
    bool fault = false;
    // What a caller's guard or reader threw on a worker thread: the run
    // faults, and the exception is thrown again on the calling thread once
    // the workers are stopped.
    std::exception_ptr thrown;
    bool joined = false;  // the workers were stopped and joined
    std::mutex lock;
    std::condition_variable work_available;
    std::condition_variable group_ready;
    reading_place reading;
    shared_writes writes;
    std::size_t block_bytes;  // the block the state lives in, from its start
    pipeline_stats stats;
    system_threads own_threads;
    worker_starter* starter;
    worker_entry entry;
    wide_level level;
};


// Runs work that reads the image inside the caller's guard.
template <class Work>
bool guarded(const pipeline& state, Work&& work) {
    return run_guarded(state.settings.guard, work);
}

// --- Memory (pipeline_memory.cpp) -------------------------------------------

// Groups of `lanes` chunks from each track's first event (behind its opening)
// up to its planned end: at most this many.
std::uint64_t count_groups(std::span<const pipeline_track> tracks, std::uint64_t group_bytes);

// The whole state in one block taken from the allocator, or null. `use` is
// the settings already clamped; `copy_room_bytes` 0 without a reader.
pipeline* make_state(byte_view image, std::span<const pipeline_track> tracks, const pipeline_settings& use,
                     std::size_t group_count, std::uint32_t slot_count, std::size_t copy_room_bytes);

// The room each thread needs for its copies, 0 without a reader.
std::size_t copy_room_size(const pipeline_settings& use, std::uint64_t group_count, std::uint64_t image_size);

// --- Claims between threads (pipeline_claims.cpp) ----------------------------

void start_workers(pipeline& state);
void stop_workers(pipeline& state);

enum class wait_result { ready, taken_over, fault };

// Waits until group `index` can be stitched: ready, or taken over from a
// thread that is slow with it. Speculates other groups meanwhile.
wait_result wait_for(pipeline& state, std::uint32_t index);

// The reading thread is done with group `index`: its slot is freed.
void release(pipeline& state, std::uint32_t index);

// Writes a queued stretch at its place, the lock let go meanwhile; its
// slot is freed when it was a stitched group's last.
void run_write(pipeline& state, const placed_write& write, std::unique_lock<std::mutex>& held);

// --- Copies (pipeline_copies.cpp) ---------------------------------------------

// Speculates one claimed group; runs guarded, holding no lock. With a
// reader, on a copy of the group's bytes in `copy_room`. False when the
// reader could not give them.
bool speculate_group(pipeline& state, std::uint32_t index, std::uint8_t* copy_room);

// Translates in order from the cursor, up to `stop`, one room's worth, into
// the bridge; says how many bytes it wrote. False when the reader could not
// give the bytes.
bool translate_in_order(pipeline& state, track_progress& track, std::uint32_t stop, std::size_t& written);

// Stitches a speculated chunk to the true translation. False when the
// reader could not give the bytes.
bool stitch_in_order(pipeline& state, track_progress& track, const chunk_job& job, stitch_result& stitched);

}  // namespace tolvarin
