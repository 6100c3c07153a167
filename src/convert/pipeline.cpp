#include "convert/pipeline.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <new>

#include "convert/shared_writes.hpp"
#include "convert/threads.hpp"

namespace tolvarin {
namespace {

// A track whose speculation fails this many groups in a row (a stream of
// running events with no byte that shows its phase, say) is translated in
// order from then on, and its groups are left to the reading thread, except
// one in every probe_spacing: a probe that, once it stitches, lets the others
// speculate again.
constexpr unsigned failures_before_serial = 2;
constexpr std::uint32_t probe_spacing = 16;
// A track whose group showed the stretches' guesses failing (at the shuffle
// or vector level) has its next groups speculated at the portable level,
// and the stretches tried again after this many.
constexpr std::uint32_t vector_retry_spacing = 16;
// Room for every thread to run well ahead of the stitching (2 MiB of input
// each), so that a thread slowed down (by another program on its processor,
// say) holds the others up as little as possible; one thread needs no more
// than the group it stitches next.
constexpr std::uint32_t slots_per_thread = 4;
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
};

struct slot {
    chunk_job* jobs;  // `lanes` of them
};

// Where the reading thread stands: the track whose output it hands out, and
// within it the opening, the planned groups (one chunk at a time) and the
// rest of the track.
enum class phase : std::uint8_t { opening, groups, rest };

struct reader {
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
};

}  // namespace

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
    // With an image_reader, each thread's copy of the bytes of the group it
    // speculates (the reading thread's also of those it translates in order
    // or stitches): the reading thread's first, then the workers' in the
    // order they start.
    std::uint8_t* windows;
    std::size_t window_bytes;
    unsigned windows_taken;
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
    reader read;
    shared_writes writes;
    std::size_t block_bytes;
    pipeline_stats stats;
    system_threads own_threads;
    worker_starter* starter;
    worker_entry entry;
    wide_level level;
};

namespace {

std::size_t round_up(std::size_t size) { return (size + 63) / 64 * 64; }

// Runs work that reads the image inside the caller's guard. The work's frame
// holds only references, so a jump out of it leaves nothing behind.
template <class Work>
bool guarded(const pipeline& state, Work&& work) {
    if (state.settings.guard == nullptr) {
        work();
        return true;
    }
    return state.settings.guard->run(work);
}

// Where a copy of the image's bytes from `from` ends, when they come
// through the caller's reader: read_beyond bytes past `upto`, so that the
// events that start before `upto` are whole in it, but no further than the
// image's end or a window's room.
std::uint32_t copy_end(const pipeline& state, std::uint32_t from, std::uint64_t upto) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(
        {upto + state.settings.tuning.read_beyond, state.image.size(), std::uint64_t{from} + state.window_bytes}));
}

// Whether a translation on a copy ending at `end` that stopped at `position`
// is the image's: one that ran to the copy's end may have met the end of
// its bytes inside an event, unless the image ends there too.
bool held_in_copy(const pipeline& state, std::uint32_t position, std::uint32_t end) {
    return position < end || end == state.image.size();
}

// The chunks' positions moved by `offset`, from the copy's to the image's.
// A chunk whose translation ran to the copy's end keeps no boundary, and is
// translated again.
void move_to_image(const pipeline& state, std::span<chunk_job> jobs, std::uint32_t offset, std::uint32_t end) {
    for (chunk_job& job : jobs) {
        job.begin += offset;
        job.end += offset;
        job.exit.position += offset;
        for (std::uint32_t record = 0; record < job.record_count; ++record) job.records[record].position += offset;
        if (!held_in_copy(state, job.exit.position, end)) {
            job.known = false;
            job.record_count = 0;
            job.copied_run = 0;
        }
    }
}

// Speculates one claimed group; runs guarded, holding no lock. With a
// reader, on a copy of the group's bytes in `window`. False when the reader
// could not give them.
bool speculate_group(pipeline& state, std::uint32_t index, std::uint8_t* window) {
    group_plan& group = state.groups[index];
    track_progress& track = state.tracks[group.track];
    group.speculated = false;
    if (track.done.load(std::memory_order_acquire) ||
        (track.serial.load(std::memory_order_acquire) && index % probe_spacing != 0)) {
        return true;
    }
    byte_view bytes = state.image;
    std::uint32_t offset = 0;
    std::uint32_t end = 0;
    if (window != nullptr) {
        offset = group.begin;
        end = copy_end(state, group.begin, group.end);
        const std::span<std::uint8_t> copy{window, std::size_t{end} - offset};
        if (!state.settings.reader->read(offset, copy)) return false;
        bytes = copy;
    }
    chunk_job* const jobs = state.slots[group.slot].jobs;
    const std::uint32_t chunk = state.settings.tuning.chunk_bytes;
    std::uint32_t count = 0;
    for (std::uint64_t begin = group.begin; begin < group.end; begin += chunk, ++count) {
        chunk_job& job = jobs[count];
        job.begin = static_cast<std::uint32_t>(begin - offset);
        job.end = static_cast<std::uint32_t>(std::min<std::uint64_t>(begin + chunk, group.end) - offset);
        job.known = group.first && count == 0;
        job.running = no_running;
    }
    const wide_level level =
        index < track.vector_from_group.load(std::memory_order_relaxed) ? wide_level::portable : state.level;
    if (speculate_chunks(bytes, {jobs, count}, state.settings.tuning.lanes, level) != level) {
        track.vector_from_group.store(index + vector_retry_spacing, std::memory_order_relaxed);
    }
    if (window != nullptr) move_to_image(state, {jobs, count}, offset, end);
    group.speculated = true;
    return true;
}

// Claims the next group, if a slot is free for it. Call with the lock held.
bool claim(pipeline& state, std::uint32_t& index) {
    if (state.next_claim >= state.group_count || state.free_count == 0) return false;
    index = state.next_claim++;
    group_plan& group = state.groups[index];
    group.slot = state.free_slots[--state.free_count];
    group.state = group_state::claimed;
    return true;
}

// Speculates a claimed group and marks it ready (or the run faulted).
void run_claimed(pipeline& state, std::uint32_t index, std::uint8_t* window, std::unique_lock<std::mutex>& held) {
    held.unlock();
    bool copied = true;
    const bool read = guarded(state, [&] { copied = speculate_group(state, index, window); });
    held.lock();
    group_plan& group = state.groups[index];
    if (!read || !copied) {
        state.fault = true;
    } else if (group.state == group_state::taken_over) {
        state.free_slots[state.free_count++] = group.slot;
    } else {
        group.state = group_state::ready;
    }
    state.group_ready.notify_all();
    state.work_available.notify_all();
}

// Writes a queued stretch at its place, the lock let go meanwhile; its
// slot is freed when it was a stitched group's last.
void run_write(pipeline& state, const placed_write& write, std::unique_lock<std::mutex>& held) {
    held.unlock();
    const bool written = (*state.settings.placed)(write.offset, {write.data, write.size});
    held.lock();
    if (end_write(state.writes, write, written)) state.free_slots[state.free_count++] = write.slot;
    state.group_ready.notify_all();
    state.work_available.notify_all();
}

// Writes wait for a slot to be free, or every group claimed: speculation
// comes first. With placed writes a worker stays for them once every group
// is claimed.
void work(pipeline& state) {
    std::unique_lock<std::mutex> held(state.lock);
    const bool placing = state.settings.placed.has_value();
    std::uint8_t* const window =
        state.windows == nullptr ? nullptr : state.windows + state.window_bytes * state.windows_taken++;
    for (;;) {
        std::uint32_t index = 0;
        state.work_available.wait(held, [&] {
            return state.stop || state.fault || write_waiting(state.writes) ||
                   (state.next_claim >= state.group_count ? !placing : state.free_count > 0);
        });
        if (state.stop || state.fault) return;
        if (claim(state, index)) {
            run_claimed(state, index, window, held);
            continue;
        }
        placed_write write;
        if (take_write(state.writes, write)) {
            run_write(state, write, held);
            continue;
        }
        if (state.next_claim >= state.group_count && !placing) return;
    }
}

}  // namespace

// A caller's guard or reader may throw here: the run faults, and the
// exception waits for the calling thread. (The page's build has no
// exceptions, and no workers.)
void worker_entry::operator()() const {
#if defined(__cpp_exceptions)
    try {
        work(*state);
    } catch (...) {
        {
            const std::lock_guard<std::mutex> held(state->lock);
            if (!state->thrown) state->thrown = std::current_exception();
            state->fault = true;
        }
        state->group_ready.notify_all();
        state->work_available.notify_all();
    }
#else
    work(*state);
#endif
}

namespace {

enum class wait_result { ready, taken_over, fault };

// Waits until group `index` can be stitched: ready, or taken over from a
// thread that is slow with it. Speculates other groups meanwhile.
wait_result wait_for(pipeline& state, std::uint32_t index) {
    std::unique_lock<std::mutex> held(state.lock);
    for (;;) {
        // A refused write leaves its slot taken: the group may never come.
        if (state.fault || state.writes.refused.load(std::memory_order_relaxed)) return wait_result::fault;
        group_plan& group = state.groups[index];
        if (group.state == group_state::ready) return wait_result::ready;
        std::uint32_t claimed = 0;
        if ((state.settings.tuning.stitcher_speculates || state.next_claim == index) && claim(state, claimed)) {
            run_claimed(state, claimed, state.windows, held);
            continue;
        }
        placed_write write;
        if (take_write(state.writes, write)) {
            run_write(state, write, held);
            continue;
        }
        if (group.state == group_state::claimed) {
            group.state = group_state::taken_over;
            return wait_result::taken_over;
        }
        state.group_ready.wait(held);
    }
}

void release(pipeline& state, std::uint32_t index) {
    {
        const std::lock_guard<std::mutex> held(state.lock);
        const group_plan& group = state.groups[index];
        if (group.state == group_state::taken_over) return;  // its speculation frees it
        if (!slot_free_now(state.writes, group.slot)) return;  // its last write frees it
        state.free_slots[state.free_count++] = group.slot;
    }
    state.work_available.notify_one();
}

// --- Setting up: the plan, the opening offers, the workers ---------------------

// The memory of a conversion, in one block taken without exceptions: the
// state, each track's progress, the groups, and for each slot the chunks'
// jobs and output room; then the reading thread's own room.
struct block_layout {
    std::size_t tracks;
    std::size_t groups;
    std::size_t slots;
    std::size_t free_slots;
    std::size_t jobs;
    std::size_t outputs;
    std::size_t bridge;
    std::size_t windows;
    std::size_t total;
};

block_layout lay_out(std::size_t track_count, std::size_t group_count, std::uint32_t slot_count, unsigned lanes,
                     std::uint32_t chunk_room, std::size_t window_bytes, unsigned window_count) {
    block_layout layout{};
    std::size_t at = round_up(sizeof(pipeline));
    const auto take = [&](std::size_t bytes) {
        const std::size_t offset = at;
        at += round_up(bytes);
        return offset;
    };
    layout.tracks = take(sizeof(track_progress) * track_count);
    layout.groups = take(sizeof(group_plan) * group_count);
    layout.slots = take(sizeof(slot) * slot_count);
    layout.free_slots = take(sizeof(std::uint32_t) * slot_count);
    layout.jobs = at;
    at += round_up(sizeof(chunk_job) * lanes) * slot_count;
    layout.outputs = at;
    at += round_up(std::size_t{chunk_room} * lanes) * slot_count;
    layout.bridge = take(chunk_room);
    layout.windows = at;
    at += window_bytes * window_count;
    layout.total = at;
    return layout;
}

// Groups of `lanes` chunks from each track's first event (behind its opening)
// up to its planned end: at most this many.
std::uint64_t count_groups(std::span<const pipeline_track> tracks, std::uint64_t group_bytes) {
    std::uint64_t count = 0;
    for (const pipeline_track& track : tracks) {
        if (track.planned_end > track.first_event) {
            count += (track.planned_end - track.first_event + group_bytes - 1) / group_bytes;
        }
    }
    return count;
}

pipeline* build_state(std::uint8_t* block, const block_layout& layout, byte_view image,
                      std::span<const pipeline_track> tracks, const pipeline_settings& settings,
                      std::uint32_t slot_count, std::uint32_t chunk_room, std::size_t window_bytes) {
    auto* const state = new (block) pipeline{};
    state->image = image;
    state->settings = settings;
    state->chunk_room = chunk_room;
    state->starter = settings.starter != nullptr ? settings.starter : &state->own_threads;
    state->level = settings.tuning.force_portable ? wide_level::portable : std::min(best_wide_level(), settings.tuning.widest);
    state->tracks = reinterpret_cast<track_progress*>(block + layout.tracks);
    state->track_count = tracks.size();
    for (std::size_t index = 0; index < tracks.size(); ++index) new (&state->tracks[index]) track_progress{};
    state->groups = reinterpret_cast<group_plan*>(block + layout.groups);
    state->slots = reinterpret_cast<slot*>(block + layout.slots);
    state->free_slots = reinterpret_cast<std::uint32_t*>(block + layout.free_slots);
    const unsigned lanes = settings.tuning.lanes;
    for (std::uint32_t index = 0; index < slot_count; ++index) {
        auto* const jobs = reinterpret_cast<chunk_job*>(block + layout.jobs + round_up(sizeof(chunk_job) * lanes) * index);
        std::uint8_t* const out = block + layout.outputs + round_up(std::size_t{chunk_room} * lanes) * index;
        for (unsigned lane = 0; lane < lanes; ++lane) {
            new (&jobs[lane]) chunk_job{};
            jobs[lane].out = out + std::size_t{chunk_room} * lane;
        }
        state->slots[index].jobs = jobs;
        state->free_slots[state->free_count++] = index;
    }
    state->bridge = block + layout.bridge;
    if (window_bytes > 0) {
        state->windows = block + layout.windows;
        state->window_bytes = window_bytes;
        state->windows_taken = 1;  // the reading thread's
    }
    return state;
}

// Each track's opening offer decides where its first chunk starts.
void open_tracks(pipeline& state, std::span<const pipeline_track> tracks) {
    for (std::size_t index = 0; index < tracks.size(); ++index) {
        track_progress& track = state.tracks[index];
        std::uint8_t* opening = track.opening;
        track.cursor = open_track(state.image, tracks[index].first_event, opening);
        track.opening_bytes = static_cast<std::size_t>(opening - track.opening);
    }
}

void plan_groups(pipeline& state, std::span<const pipeline_track> tracks) {
    const std::uint64_t group_bytes = std::uint64_t{state.settings.tuning.chunk_bytes} * state.settings.tuning.lanes;
    std::uint32_t next_group = 0;
    for (std::size_t index = 0; index < tracks.size(); ++index) {
        track_progress& track = state.tracks[index];
        track.first_group = next_group;
        const std::uint64_t begin = track.cursor.position;
        const std::uint64_t end = tracks[index].planned_end;
        for (std::uint64_t from = begin; !track.cursor.finished && from < end; from += group_bytes) {
            state.groups[next_group++] = {static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(from),
                                          static_cast<std::uint32_t>(std::min(from + group_bytes, end)), from == begin,
                                          0, group_state::unclaimed, false};
        }
        track.group_count = next_group - track.first_group;
        if (track.cursor.finished) track.done.store(true);
    }
    state.group_count = next_group;
}

void start_workers(pipeline& state) {
    unsigned started = 0;
    state.entry.state = &state;
    while (started + 1 < state.settings.threads && state.group_count > 1 && state.starter->start(state.entry)) {
        ++started;
    }
    state.stats.threads = started + 1;
}

// --- Reading: the tracks' output in order ---------------------------------------

std::uint32_t chunk_end(const pipeline& state, const group_plan& group, std::uint32_t number) {
    const std::uint64_t end = group.begin + std::uint64_t{number + 1} * state.settings.tuning.chunk_bytes;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(end, group.end));
}

std::uint32_t chunks_in(const pipeline& state, const group_plan& group) {
    const std::uint32_t chunk = state.settings.tuning.chunk_bytes;
    return static_cast<std::uint32_t>((std::uint64_t{group.end} - group.begin + chunk - 1) / chunk);
}

// The level for the reading thread's own translation of the track.
wide_level level_now(const pipeline& state, const track_progress& track) {
    return state.read.group < track.vector_from_group.load(std::memory_order_relaxed) ? wide_level::portable
                                                                                         : state.level;
}

// Translates in order from the cursor, up to `stop`, one room's worth, and
// says how many bytes it wrote. With a reader, the events that start within
// a chunk's worth of bytes from the cursor, on a copy of those bytes and
// read_beyond more, in the reading thread's window: a translation that
// reached the copy's end before the image's may have met the end of its
// bytes inside an event, so that step is done again from the image. False
// when the reader could not give the bytes.
bool translate_in_order(pipeline& state, track_progress& track, std::uint32_t stop, std::size_t& written) {
    const std::span<std::uint8_t> room{state.bridge, state.chunk_room};
    const wide_level level = level_now(state, track);
    const std::uint32_t from = track.cursor.position;
    if (state.windows != nullptr && !track.cursor.finished && from < stop && from < state.image.size()) {
        const std::uint64_t step_end = std::min<std::uint64_t>(stop, std::uint64_t{from} + state.settings.tuning.chunk_bytes);
        const std::uint32_t end = copy_end(state, from, step_end);
        const std::span<std::uint8_t> copy{state.windows, std::size_t{end} - from};
        if (!state.settings.reader->read(from, copy)) return false;
        event_cursor local = track.cursor;
        local.position = 0;
        const auto copy_stop = static_cast<std::uint32_t>(std::min<std::uint64_t>(step_end, end) - from);
        const std::size_t bytes = translate_events(copy, local, copy_stop, room, level);
        local.position += from;
        if (held_in_copy(state, local.position, end)) {
            track.cursor = local;
            written = bytes;
            return true;
        }
    }
    written = translate_events(state.image, track.cursor, stop, room, level);
    return true;
}

// Stitches a speculated chunk to the true translation. With a reader, where
// the stitch reads bytes, on a copy of them from the cursor on, in the reading
// thread's window: first up to the chunk's last recorded boundary, which is
// where a bridge that meets the chunk ends; a bridge that met none runs on to
// the chunk's end, so the stitch is done again on a copy of the rest of the
// chunk. A bridge that still ran to its copy's end before the image's, not
// kept (an event may go on past the copy), is done again on the image. False
// when the reader could not give the bytes.
bool stitch_in_order(pipeline& state, track_progress& track, const chunk_job& job, stitch_result& stitched) {
    const std::span<std::uint8_t> bridge{state.bridge, state.chunk_room};
    const wide_level level = level_now(state, track);
    const std::uint32_t from = track.cursor.position;
    const std::uint32_t reach = stitch_reach(track.cursor, job);
    if (state.windows != nullptr && reach > from) {
        for (const std::uint32_t upto : {reach, std::max(reach, job.end)}) {
            const std::uint32_t end = copy_end(state, from, upto);
            const std::span<std::uint8_t> copy{state.windows, std::size_t{end} - from};
            if (!state.settings.reader->read(from, copy)) return false;
            event_cursor cursor = track.cursor;
            stitched = stitch_chunk(copy, cursor, job, bridge, level, from);
            if (stitched.kept || held_in_copy(state, cursor.position, end)) {
                track.cursor = cursor;
                return true;
            }
            if (upto >= job.end) break;
        }
    }
    stitched = stitch_chunk(state.image, track.cursor, job, bridge, level);
    return true;
}

// The next chunk of the group in hand: stitched to its speculation, or
// translated in order. Hands out up to two pieces; false when reading faulted.
bool next_chunk(pipeline& state, track_piece& piece) {
    reader& read = state.read;
    const group_plan& group = state.groups[read.group];
    track_progress& track = state.tracks[group.track];
    const std::uint32_t end = chunk_end(state, group, read.chunk);
    if (track.cursor.position >= end) {
        ++read.chunk;
        return true;
    }
    if (read.taken_over || !group.speculated) {
        // In order, one room's worth at a time, until the chunk's end.
        const std::uint32_t before = track.cursor.position;
        std::size_t written = 0;
        bool copied = true;
        if (!guarded(state, [&] { copied = translate_in_order(state, track, end, written); }) || !copied) return false;
        piece = {state.bridge, written};
        if (track.cursor.finished || track.cursor.position >= end || (written == 0 && track.cursor.position == before)) {
            ++state.stats.chunks_serial;
            ++read.chunk;
        }
        return true;
    }
    const chunk_job& job = state.slots[group.slot].jobs[read.chunk];
    stitch_result stitched;
    bool copied = true;
    if (!guarded(state, [&] { copied = stitch_in_order(state, track, job, stitched); }) || !copied) return false;
    piece = {state.bridge, stitched.bridge_bytes};
    if (stitched.kept) read.queued = {job.out + stitched.kept_from, stitched.kept_to - stitched.kept_from};
    ++read.chunk;
    ++read.chunks_stitched;
    if (stitched.kept) {
        ++read.chunks_kept;
        ++state.stats.chunks_kept;
    } else {
        ++state.stats.chunks_again;
    }
    return true;
}

// The group in hand is stitched: a track whose speculation keeps failing
// goes in order, and the group's slot is freed.
void end_group(pipeline& state) {
    reader& read = state.read;
    track_progress& track = state.tracks[state.groups[read.group].track];
    if (track.cursor.finished) track.done.store(true, std::memory_order_release);
    if (read.chunks_stitched > 0) {
        track.failures = 2 * read.chunks_kept < read.chunks_stitched ? track.failures + 1 : 0;
        if (track.failures == 0) track.serial.store(false, std::memory_order_release);
        if (track.failures >= failures_before_serial) track.serial.store(true, std::memory_order_release);
    }
    release(state, read.group);
    read.holding = false;
    ++read.group;
}

// Takes the track's next group in hand: false when reading faulted.
bool take_group(pipeline& state) {
    reader& read = state.read;
    const wait_result waited = wait_for(state, read.group);
    if (waited == wait_result::fault) return false;
    read.holding = true;
    read.taken_over = waited == wait_result::taken_over;
    if (read.taken_over) ++state.stats.groups_taken_over;
    read.chunk = 0;
    read.chunks_stitched = 0;
    read.chunks_kept = 0;
    return true;
}

// With placed writes shared by the workers, a stretch of a speculated
// chunk's own output is queued to be written at its place; its slot stays
// taken until then. One that would pass what the length field counts goes
// out in order, to fail there.
bool hand_to_writers(pipeline& state, const track_piece& piece) {
    const reader& read = state.read;
    if (!state.settings.placed || !state.settings.tuning.share_writes || state.stats.threads < 2 ||
        read.output_bytes + piece.size > max_track_length) {
        return false;
    }
    {
        const std::lock_guard<std::mutex> held(state.lock);
        queue_write(state.writes, {read.output_bytes, piece.data, piece.size, state.groups[read.group].slot});
    }
    state.work_available.notify_one();
    return true;
}

// Before a track ends, every stretch of it handed to the writers is
// written: those still queued by the reading thread itself.
pipeline_step settle_writes(pipeline& state) {
    std::unique_lock<std::mutex> held(state.lock);
    for (;;) {
        if (state.fault) return pipeline_step::input_fault;
        if (state.writes.refused.load(std::memory_order_relaxed)) return pipeline_step::refused;
        placed_write write;
        if (take_write(state.writes, write)) {
            run_write(state, write, held);
        } else if (writes_settled(state.writes)) {
            return pipeline_step::track_end;
        } else {
            state.group_ready.wait(held);
        }
    }
}

pipeline_step handed_out(pipeline& state, const track_piece& piece) {
    state.read.output_bytes += piece.size;
    return pipeline_step::piece;
}

}  // namespace

namespace {

void stop_workers(pipeline& state) {
    if (state.joined) return;
    {
        const std::lock_guard<std::mutex> held(state.lock);
        state.stop = true;
    }
    state.work_available.notify_all();
    state.joined = true;
    state.starter->join_all();
}

}  // namespace

std::exception_ptr close_pipeline(pipeline_handle& handle) {
    if (!handle) return nullptr;
    stop_workers(*handle);
    // The workers are joined: nothing else touches it now.
    std::exception_ptr thrown = std::move(handle->thrown);
    handle.reset();
    return thrown;
}

void pipeline_closer::operator()(pipeline* state) const {
    stop_workers(*state);
    if (state->settings.tuning.stats != nullptr) *state->settings.tuning.stats = state->stats;
    memory_source* const memory = state->settings.memory;
    const std::size_t bytes = state->block_bytes;
    state->~pipeline();
    if (memory != nullptr) {
        memory->give_back(state, bytes);
    } else {
        std::free(state);
    }
}

void refuse_placed_writes(pipeline& state) {
    const std::lock_guard<std::mutex> held(state.lock);
    state.writes.refused.store(true, std::memory_order_release);
}

pipeline_start start_pipeline(byte_view image, std::span<const pipeline_track> tracks,
                              const pipeline_settings& settings, pipeline_handle& handle) {
    pipeline_settings use = settings;
    use.threads = std::clamp(use.threads, 1u, max_threads);
    use.tuning.lanes = std::clamp(use.tuning.lanes, 1u, max_lanes);
    use.tuning.chunk_bytes = std::max<std::uint32_t>(use.tuning.chunk_bytes, 1);

    const std::uint64_t group_bytes = std::uint64_t{use.tuning.chunk_bytes} * use.tuning.lanes;
    const std::uint64_t groups = count_groups(tracks, group_bytes);
    if (groups > std::numeric_limits<std::uint32_t>::max() / 2) return pipeline_start::no_memory;
    const std::uint32_t slot_count = use.threads == 1 ? 1 : slots_per_thread * use.threads;
    const auto chunk_room = static_cast<std::uint32_t>(chunk_output_room(use.tuning.chunk_bytes));
    // A copy never runs past the image's end.
    const std::size_t window_bytes =
        use.reader == nullptr || groups == 0
            ? 0
            : round_up(static_cast<std::size_t>(std::min<std::uint64_t>(group_bytes + use.tuning.read_beyond, image.size())));
    const block_layout layout = lay_out(tracks.size(), static_cast<std::size_t>(groups), slot_count, use.tuning.lanes,
                                        chunk_room, window_bytes, use.threads);
    auto* const block = static_cast<std::uint8_t*>(use.memory != nullptr ? use.memory->take(layout.total)
                                                                           : std::malloc(layout.total));
    if (block == nullptr) return pipeline_start::no_memory;
    handle.reset(build_state(block, layout, image, tracks, use, slot_count, chunk_room, window_bytes));
    pipeline& state = *handle;
    state.block_bytes = layout.total;
    if (!guarded(state, [&] { open_tracks(state, tracks); })) {
        handle.reset();
        return pipeline_start::input_fault;
    }
    plan_groups(state, tracks);
    start_workers(state);
    return pipeline_start::started;
}

pipeline_step next_piece(pipeline& state, track_piece& piece) {
    reader& read = state.read;
    for (;;) {
        piece = {};
        if (state.writes.refused.load(std::memory_order_acquire)) return pipeline_step::refused;
        if (read.queued.size > 0) {
            piece = read.queued;
            read.queued = {};
            if (hand_to_writers(state, piece)) piece.data = nullptr;
            return handed_out(state, piece);
        }
        if (read.track >= state.track_count) return pipeline_step::finished;
        track_progress& track = state.tracks[read.track];
        switch (read.at) {
            case phase::opening:
                read.at = phase::groups;
                read.group = track.first_group;
                piece = {track.opening, track.opening_bytes};
                break;
            case phase::groups:
                if (read.holding) {
                    const group_plan& group = state.groups[read.group];
                    if (read.chunk < chunks_in(state, group) && !track.cursor.finished) {
                        if (!next_chunk(state, piece)) return pipeline_step::input_fault;
                    } else {
                        end_group(state);
                    }
                } else if (read.group < track.first_group + track.group_count) {
                    if (!take_group(state)) {
                        return state.writes.refused.load(std::memory_order_acquire) ? pipeline_step::refused
                                                                                     : pipeline_step::input_fault;
                    }
                } else {
                    read.at = phase::rest;
                }
                break;
            case phase::rest: {
                // Whatever runs on past the planned end (a track without an
                // end of track), or all of the track when it had no groups.
                const std::uint32_t before = track.cursor.position;
                if (!track.cursor.finished) {
                    std::size_t written = 0;
                    bool copied = true;
                    if (!guarded(state, [&] {
                            copied = translate_in_order(state, track, std::numeric_limits<std::uint32_t>::max(), written);
                        }) ||
                        !copied) {
                        return pipeline_step::input_fault;
                    }
                    piece = {state.bridge, written};
                    if (written > 0 || track.cursor.position != before) break;
                }
                if (const pipeline_step settled = settle_writes(state); settled != pipeline_step::track_end) {
                    return settled;
                }
                track.done.store(true, std::memory_order_release);
                ++read.track;
                read.at = phase::opening;
                read.output_bytes = 0;
                return pipeline_step::track_end;
            }
        }
        if (piece.size > 0) return handed_out(state, piece);
    }
}

std::uint32_t track_end_position(const pipeline& state, std::size_t track) {
    return state.tracks[track].cursor.position;
}

}  // namespace tolvarin
