// Handing the tracks' output out in order, on the reading thread: each
// track's opening, then its groups chunk by chunk (a chunk stitched to its
// speculation, or translated in order when its group was taken over or not
// speculated), then whatever runs on past the planned end.
#include "convert/pipeline.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <mutex>

#include "convert/pipeline_state.hpp"
#include "format/event_stream.hpp"

namespace tolvarin {
namespace {

// Each track's opening offer decides where its first chunk starts.
void open_tracks(pipeline& state, std::span<const pipeline_track> tracks) {
    for (std::size_t index = 0; index < tracks.size(); ++index) {
        track_progress& track = state.tracks[index];
        std::uint8_t* opening = track.opening;
        track.cursor = open_track(state.image, tracks[index].first_event, opening);
        track.opening_bytes = static_cast<std::size_t>(opening - track.opening);
        if (!tracks[index].opening_offer) {
            // The other side of a split starts at a boundary it takes on trust.
            track.cursor = {tracks[index].first_event, no_running, tracks[index].first_event >= state.image.size()};
            track.opening_bytes = 0;
        }
        // A split is met on the image itself, so not through a reader.
        track.split = state.settings.reader == nullptr ? tracks[index].split : no_split;
        track.split_tried = false;
    }
}

void plan_groups(pipeline& state, std::span<const pipeline_track> tracks) {
    const std::uint64_t group_bytes = std::uint64_t{state.settings.tuning.chunk_bytes} * state.settings.tuning.lanes;
    std::uint32_t next_group = 0;
    for (std::size_t index = 0; index < tracks.size(); ++index) {
        track_progress& track = state.tracks[index];
        track.first_group = next_group;
        const std::uint64_t begin = track.cursor.position;
        const std::uint64_t end = std::min(tracks[index].planned_end, track.split);
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

std::uint32_t chunk_end(const pipeline& state, const group_plan& group, std::uint32_t number) {
    const std::uint64_t end = group.begin + std::uint64_t{number + 1} * state.settings.tuning.chunk_bytes;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(end, group.end));
}

std::uint32_t chunks_in(const pipeline& state, const group_plan& group) {
    const std::uint32_t chunk = state.settings.tuning.chunk_bytes;
    return static_cast<std::uint32_t>((std::uint64_t{group.end} - group.begin + chunk - 1) / chunk);
}

// The next chunk of the group in hand: stitched to its speculation, or
// translated in order. Hands out up to two pieces; false when reading faulted.
bool next_chunk(pipeline& state, track_piece& piece) {
    reading_place& reading = state.reading;
    const group_plan& group = state.groups[reading.group];
    track_progress& track = state.tracks[group.track];
    const std::uint32_t end = chunk_end(state, group, reading.chunk);
    if (track.cursor.position >= end) {
        ++reading.chunk;
        return true;
    }
    if (reading.taken_over || !group.speculated) {
        // In order, one room's worth at a time, until the chunk's end.
        const std::uint32_t before = track.cursor.position;
        std::size_t written = 0;
        bool copied = true;
        if (!guarded(state, [&] { copied = translate_in_order(state, track, end, written); }) || !copied) return false;
        piece = {state.bridge, written};
        if (track.cursor.finished || track.cursor.position >= end || (written == 0 && track.cursor.position == before)) {
            ++state.stats.chunks_serial;
            ++reading.chunk;
        }
        return true;
    }
    const chunk_job& job = state.slots[group.slot].jobs[reading.chunk];
    stitch_result stitched;
    bool copied = true;
    if (!guarded(state, [&] { copied = stitch_in_order(state, track, job, stitched); }) || !copied) return false;
    piece = {state.bridge, stitched.bridge_bytes};
    if (stitched.kept) reading.queued = {job.out + stitched.kept_from, stitched.kept_to - stitched.kept_from};
    ++reading.chunk;
    ++reading.chunks_stitched;
    if (stitched.kept) {
        ++reading.chunks_kept;
        ++state.stats.chunks_kept;
    } else {
        ++state.stats.chunks_again;
    }
    return true;
}

// With placed writes shared by the workers, a stretch of a speculated
// chunk's own output is queued to be written at its place; its slot stays
// taken until then. One that would pass what the length field counts goes
// out in order, to fail there.
bool hand_to_writers(pipeline& state, const track_piece& piece) {
    const reading_place& reading = state.reading;
    if (!state.settings.placed || !state.settings.tuning.share_writes || state.stats.threads < 2 ||
        reading.output_bytes + piece.size > max_track_length) {
        return false;
    }
    {
        const std::lock_guard<std::mutex> held(state.lock);
        queue_write(state.writes, {reading.output_bytes, piece.data, piece.size, state.groups[reading.group].slot});
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
    state.reading.output_bytes += piece.size;
    return pipeline_step::piece;
}

// Whatever runs on past the planned end (a track without an end of track),
// or all of the track when it had no groups, one room's worth at a time in
// `piece`; then, once its placed writes are settled, the track's end.
pipeline_step rest_of_track(pipeline& state, track_progress& track, track_piece& piece) {
    reading_place& reading = state.reading;
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
        if (written > 0 || track.cursor.position != before) return pipeline_step::piece;
    }
    if (const pipeline_step settled = settle_writes(state); settled != pipeline_step::track_end) return settled;
    track.done.store(true, std::memory_order_release);
    ++reading.track;
    reading.at = phase::opening;
    reading.output_bytes = 0;
    return pipeline_step::track_end;
}

// Looks for the true translation (the track's cursor, at or past the split)
// on the other side's reading of the track, which starts at the split with
// no running status: the two are stepped along together here, one event at
// a time, whichever stands behind, until they stand on one state (position
// and running class). From a state in common the two write the same bytes to
// the track's end. The true output on the way is `piece`; true when they
// met, with the other side's output before the meeting in
// reading.join_offset. They are given up, the true translation having
// written what it wrote, when its output fills the bridge.
bool meet_split(pipeline& state, track_progress& track, track_piece& piece) {
    event_cursor& cursor = track.cursor;
    std::uint32_t other = track.split;
    std::uint8_t other_status = class_status[no_running];
    bool other_going = other < state.image.size();
    std::uint64_t other_written = 0;
    std::uint8_t scratch[max_step_output];
    std::uint8_t* const bridge = state.bridge;
    std::size_t bridge_bytes = 0;
    bool met = false;
    while (!cursor.finished) {
        if (other < cursor.position) {
            if (!other_going) break;
            std::uint8_t* out = scratch;
            other_going = translate_step(state.image, other, other_status, out);
            other_written += static_cast<std::uint64_t>(out - scratch);
            continue;
        }
        if (other == cursor.position && other_going && class_of_status(other_status) == cursor.running) {
            state.reading.join_offset = other_written;
            met = true;
            break;
        }
        if (bridge_bytes + max_step_output > state.chunk_room) break;
        std::uint8_t status = class_status[cursor.running];
        std::uint8_t* out = bridge + bridge_bytes;
        cursor.finished = !translate_step(state.image, cursor.position, status, out);
        cursor.running = class_of_status(status);
        bridge_bytes = static_cast<std::size_t>(out - bridge);
    }
    piece = {bridge, bridge_bytes};
    return met;
}

// The group in hand is stitched: a track whose speculation keeps failing
// goes in order, and the group's slot is freed.
void end_group(pipeline& state) {
    reading_place& reading = state.reading;
    track_progress& track = state.tracks[state.groups[reading.group].track];
    if (track.cursor.finished) track.done.store(true, std::memory_order_release);
    if (reading.chunks_stitched > 0) {
        // A group fails when fewer than half of its stitched chunks were
        // kept: then speculating the track costs more than it saves (each
        // chunk not kept is translated twice).
        track.failures = 2 * reading.chunks_kept < reading.chunks_stitched ? track.failures + 1 : 0;
        if (track.failures == 0) track.serial.store(false, std::memory_order_release);
        if (track.failures >= failures_before_serial) track.serial.store(true, std::memory_order_release);
    }
    release(state, reading.group);
    reading.holding = false;
    ++reading.group;
}

// Takes the track's next group in hand: false when reading faulted.
bool take_group(pipeline& state) {
    reading_place& reading = state.reading;
    const wait_result waited = wait_for(state, reading.group);
    if (waited == wait_result::fault) return false;
    reading.holding = true;
    reading.taken_over = waited == wait_result::taken_over;
    if (reading.taken_over) ++state.stats.groups_taken_over;
    reading.chunk = 0;
    reading.chunks_stitched = 0;
    reading.chunks_kept = 0;
    return true;
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
    pipeline* const made = make_state(image, tracks, use, static_cast<std::size_t>(groups), slot_count,
                                      copy_room_size(use, groups, image.size()));
    if (made == nullptr) return pipeline_start::no_memory;
    handle.reset(made);
    pipeline& state = *handle;
    if (!guarded(state, [&] { open_tracks(state, tracks); })) {
        handle.reset();
        return pipeline_start::input_fault;
    }
    plan_groups(state, tracks);
    start_workers(state);
    return pipeline_start::started;
}

pipeline_step next_piece(pipeline& state, track_piece& piece) {
    reading_place& reading = state.reading;
    for (;;) {
        piece = {};
        if (state.writes.refused.load(std::memory_order_acquire)) return pipeline_step::refused;
        if (reading.queued.size > 0) {
            piece = reading.queued;
            reading.queued = {};
            if (hand_to_writers(state, piece)) piece.data = nullptr;
            return handed_out(state, piece);
        }
        if (reading.track >= state.track_count) return pipeline_step::finished;
        track_progress& track = state.tracks[reading.track];
        switch (reading.at) {
            case phase::opening:
                reading.at = phase::groups;
                reading.group = track.first_group;
                piece = {track.opening, track.opening_bytes};
                break;
            case phase::groups:
                if (reading.holding) {
                    const group_plan& group = state.groups[reading.group];
                    if (reading.chunk < chunks_in(state, group) && !track.cursor.finished) {
                        if (!next_chunk(state, piece)) return pipeline_step::input_fault;
                    } else {
                        end_group(state);
                    }
                } else if (reading.group < track.first_group + track.group_count) {
                    if (!take_group(state)) {
                        return state.writes.refused.load(std::memory_order_acquire) ? pipeline_step::refused
                                                                                     : pipeline_step::input_fault;
                    }
                } else {
                    reading.at = phase::rest;
                }
                break;
            case phase::rest:
                if (track.split != no_split && !track.split_tried && !track.cursor.finished) {
                    track.split_tried = true;
                    bool met = false;
                    if (!guarded(state, [&] { met = meet_split(state, track, piece); })) {
                        return pipeline_step::input_fault;
                    }
                    if (met) reading.at = phase::joining;
                    break;
                }
                if (const pipeline_step step = rest_of_track(state, track, piece); step != pipeline_step::piece) {
                    return step;
                }
                break;
            case phase::joining: return pipeline_step::join;
        }
        if (piece.size > 0) return handed_out(state, piece);
    }
}

std::uint64_t join_offset(const pipeline& state) { return state.reading.join_offset; }

bool answer_join(pipeline& state, bool joined, std::uint32_t end_position) {
    reading_place& reading = state.reading;
    if (reading.at != phase::joining) return false;
    if (joined) {
        event_cursor& cursor = state.tracks[reading.track].cursor;
        cursor.position = end_position;
        cursor.finished = true;
    }
    reading.at = phase::rest;
    return true;
}

std::uint32_t track_end_position(const pipeline& state, std::size_t track) {
    return state.tracks[track].cursor.position;
}

}  // namespace tolvarin
