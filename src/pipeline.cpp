#include "pipeline.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>

#include "platform.hpp"

namespace tolvarin {
namespace {

constexpr unsigned max_threads = 8;
// Below this many bytes of tracks a container is converted on one thread.
constexpr std::uint64_t threaded_bytes = std::uint64_t{4} << 20;
// A track whose speculation fails this many groups in a row (a stream of
// running events with no byte that shows its phase, say) is translated in
// order from then on, and its groups are left to the thread that stitches
// them, except one in every probe_spacing: a probe that, once it stitches,
// lets the others speculate again.
constexpr unsigned failures_before_serial = 2;
constexpr std::uint32_t slots_per_thread = 8;
constexpr std::uint32_t probe_spacing = 16;

// A group is claimed by the thread that speculates it, then ready to be
// stitched. A group the stitching thread needs while its speculation is
// still under way elsewhere, and it has nothing else to do, is taken over:
// translated in order there and then, rather than waited for. Its slot is
// freed by whichever of the two is done with it last.
enum class group_state : std::uint8_t { unclaimed, claimed, ready, taken_over };

// A group of consecutive chunks of one track: one thread's unit of work.
struct group_plan {
    std::uint32_t track;
    std::uint32_t begin;
    std::uint32_t end;
    bool first;         // the track's first group, whose first chunk starts at a known boundary
    std::uint32_t slot;
    group_state state;
    bool speculated;    // false when skipped: the track ended before it, or goes in order
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
};

struct slot {
    chunk_job* jobs;  // `lanes` of them
};

struct shared_state {
    byte_view image;
    pipeline_settings settings;
    std::uint32_t chunk_room;
    group_plan* groups;
    std::uint32_t group_count;
    track_progress* tracks;
    slot* slots;
    std::uint32_t* free_slots;
    std::uint32_t free_count;
    std::uint32_t next_claim = 0;
    bool stop = false;
    bool fault = false;
    std::mutex lock;
    std::condition_variable work_available;
    std::condition_variable group_ready;
};

std::size_t round_up(std::size_t size) { return (size + 63) / 64 * 64; }

// Speculates one claimed group; runs guarded, holding no lock.
struct speculate_work {
    shared_state* state;
    std::uint32_t index;
};

void speculate_group(void* context) {
    const auto& work = *static_cast<speculate_work*>(context);
    shared_state& state = *work.state;
    group_plan& group = state.groups[work.index];
    track_progress& track = state.tracks[group.track];
    group.speculated = false;
    if (track.done.load(std::memory_order_acquire) ||
        (track.serial.load(std::memory_order_acquire) && work.index % probe_spacing != 0)) {
        return;
    }
    chunk_job* const jobs = state.slots[group.slot].jobs;
    const std::uint32_t chunk = state.settings.chunk_bytes;
    std::uint32_t count = 0;
    for (std::uint64_t begin = group.begin; begin < group.end; begin += chunk, ++count) {
        chunk_job& job = jobs[count];
        job.begin = static_cast<std::uint32_t>(begin);
        job.end = static_cast<std::uint32_t>(std::min<std::uint64_t>(begin + chunk, group.end));
        job.known = group.first && count == 0;
        job.running = no_running;
    }
    speculate_chunks(state.image, {jobs, count}, state.settings.lanes);
    group.speculated = true;
}

// Claims the next group, if a slot is free for it. Call with the lock held.
bool claim(shared_state& state, std::uint32_t& index) {
    if (state.next_claim >= state.group_count || state.free_count == 0) return false;
    index = state.next_claim++;
    group_plan& group = state.groups[index];
    group.slot = state.free_slots[--state.free_count];
    group.state = group_state::claimed;
    return true;
}

// Speculates a claimed group and marks it ready (or the run faulted).
void run_claimed(shared_state& state, std::uint32_t index, std::unique_lock<std::mutex>& held) {
    held.unlock();
    speculate_work work{&state, index};
    const bool read = read_input_guarded(speculate_group, &work);
    held.lock();
    group_plan& group = state.groups[index];
    if (!read) {
        state.fault = true;
    } else if (group.state == group_state::taken_over) {
        state.free_slots[state.free_count++] = group.slot;
    } else {
        group.state = group_state::ready;
    }
    state.group_ready.notify_all();
    state.work_available.notify_all();
}

void worker(void* context) {
    shared_state& state = *static_cast<shared_state*>(context);
    std::unique_lock<std::mutex> held(state.lock);
    for (;;) {
        std::uint32_t index = 0;
        state.work_available.wait(held, [&] {
            return state.stop || state.fault || state.next_claim >= state.group_count || state.free_count > 0;
        });
        if (state.stop || state.fault) return;
        if (!claim(state, index)) {
            if (state.next_claim >= state.group_count) return;
            continue;
        }
        run_claimed(state, index, held);
    }
}

enum class wait_result { ready, taken_over, fault };

// Waits until group `index` can be stitched: ready, or taken over from a
// thread that is slow with it. Speculates other groups meanwhile.
wait_result wait_for(shared_state& state, std::uint32_t index) {
    std::unique_lock<std::mutex> held(state.lock);
    for (;;) {
        if (state.fault) return wait_result::fault;
        group_plan& group = state.groups[index];
        if (group.state == group_state::ready) return wait_result::ready;
        std::uint32_t claimed = 0;
        if ((state.settings.stitcher_speculates || state.next_claim == index) && claim(state, claimed)) {
            run_claimed(state, claimed, held);
            continue;
        }
        if (group.state == group_state::claimed) {
            group.state = group_state::taken_over;
            return wait_result::taken_over;
        }
        state.group_ready.wait(held);
    }
}

void release(shared_state& state, std::uint32_t index) {
    {
        const std::lock_guard<std::mutex> held(state.lock);
        const group_plan& group = state.groups[index];
        if (group.state == group_state::taken_over) return;  // its speculation frees it
        state.free_slots[state.free_count++] = group.slot;
    }
    state.work_available.notify_one();
}

// Stitches a ready group to the true translation and hands its output on;
// runs guarded. The chunks' output goes out as it is stitched.
struct commit_work {
    shared_state* state;
    std::uint32_t index;
    bool taken_over;  // its speculation is still under way elsewhere: translate in order
    const pipeline_sink* sink;
    std::uint8_t* bridge;
    pipeline_stats* stats;
    bool refused;  // the sink said stop
};

bool hand_on(commit_work& work, std::uint32_t track, const std::uint8_t* data, std::size_t size) {
    if (size == 0 || work.refused) return !work.refused;
    work.refused = !work.sink->append(work.sink->context, track, data, size);
    return !work.refused;
}

// Translates in order from the cursor to `stop` (or to the track's end).
void translate_in_order(commit_work& work, track_progress& track, std::uint32_t index, std::uint32_t stop) {
    const shared_state& state = *work.state;
    while (!track.cursor.finished && track.cursor.position < stop && !work.refused) {
        const std::uint32_t before = track.cursor.position;
        const std::size_t written =
            translate_events(state.image, track.cursor, stop, {work.bridge, state.chunk_room});
        hand_on(work, index, work.bridge, written);
        if (track.cursor.position == before && !track.cursor.finished) break;
    }
}

void commit_group(void* context) {
    auto& work = *static_cast<commit_work*>(context);
    shared_state& state = *work.state;
    const group_plan& group = state.groups[work.index];
    track_progress& track = state.tracks[group.track];
    const bool speculated = !work.taken_over && group.speculated;
    const chunk_job* const jobs = speculated ? state.slots[group.slot].jobs : nullptr;
    const std::uint32_t chunk = state.settings.chunk_bytes;
    unsigned kept = 0;
    unsigned chunks = 0;
    std::uint32_t number = 0;
    for (std::uint64_t begin = group.begin; begin < group.end && !work.refused; begin += chunk, ++number) {
        const auto end = static_cast<std::uint32_t>(std::min<std::uint64_t>(begin + chunk, group.end));
        if (track.cursor.finished) break;
        if (track.cursor.position >= end) continue;
        if (!speculated) {
            translate_in_order(work, track, group.track, end);
            ++work.stats->chunks_serial;
            continue;
        }
        const chunk_job& job = jobs[number];
        const stitch_result stitched = stitch_chunk(state.image, track.cursor, job, {work.bridge, state.chunk_room});
        hand_on(work, group.track, work.bridge, stitched.bridge_bytes);
        if (stitched.kept) hand_on(work, group.track, job.out + stitched.kept_from, job.written - stitched.kept_from);
        ++chunks;
        if (stitched.kept) {
            ++kept;
            ++work.stats->chunks_kept;
        } else {
            ++work.stats->chunks_again;
        }
    }
    if (track.cursor.finished) track.done.store(true, std::memory_order_release);
    if (chunks > 0) {
        track.failures = 2 * kept < chunks ? track.failures + 1 : 0;
        if (track.failures == 0) track.serial.store(false, std::memory_order_release);
        if (track.failures >= failures_before_serial) track.serial.store(true, std::memory_order_release);
    }
}

// The rest of a track after its planned groups: whatever runs on past the
// planned end (a track without an end of track), or all of it when it had
// no groups.
struct finish_work {
    commit_work* commit;
    std::uint32_t track;
};

void finish_track(void* context) {
    auto& work = *static_cast<finish_work*>(context);
    track_progress& track = work.commit->state->tracks[work.track];
    translate_in_order(*work.commit, track, work.track, std::numeric_limits<std::uint32_t>::max());
}

// Each track's opening offer, which decides where its first chunk starts.
struct opening_work {
    shared_state* state;
    std::span<const pipeline_track> tracks;
};

void open_tracks(void* context) {
    auto& work = *static_cast<opening_work*>(context);
    for (std::size_t index = 0; index < work.tracks.size(); ++index) {
        track_progress& track = work.state->tracks[index];
        std::uint8_t* opening = track.opening;
        track.cursor = open_track(work.state->image, work.tracks[index].first_event, opening);
        track.opening_bytes = static_cast<std::size_t>(opening - track.opening);
    }
}

}  // namespace

unsigned threads_for(std::uint64_t bytes, unsigned processors) {
    if (bytes < threaded_bytes) return 1;
    return std::clamp(processors, 1u, max_threads);
}

pipeline_result run_pipeline(byte_view image, std::span<const pipeline_track> tracks, const pipeline_sink& sink,
                             const pipeline_settings& settings, pipeline_stats* stats) {
    pipeline_stats local_stats;
    if (stats == nullptr) stats = &local_stats;
    pipeline_settings use = settings;
    use.threads = std::clamp(use.threads, 1u, max_threads);
    use.lanes = std::clamp(use.lanes, 1u, 4u);
    use.chunk_bytes = std::max<std::uint32_t>(use.chunk_bytes, 1);

    // The plan: each track's opening, then groups of `lanes` chunks up to its planned end.
    const std::uint64_t group_bytes = std::uint64_t{use.chunk_bytes} * use.lanes;
    std::uint64_t group_count = 0;
    for (const pipeline_track& track : tracks) {
        if (track.planned_end > track.first_event) {
            group_count += (track.planned_end - track.first_event + group_bytes - 1) / group_bytes;
        }
    }
    if (group_count > std::numeric_limits<std::uint32_t>::max() / 2) return pipeline_result::no_memory;
    const auto groups = static_cast<std::size_t>(group_count);
    // Room for every thread to run well ahead of the stitching, so that a
    // thread slowed down (by another program on its processor, say) holds
    // the others up as little as possible; one thread needs no more than
    // the group it stitches next.
    const std::uint32_t slot_count = use.threads == 1 ? 1 : slots_per_thread * use.threads;
    const std::uint32_t chunk_room = static_cast<std::uint32_t>(chunk_output_room(use.chunk_bytes));
    // One block for everything, taken without exceptions.
    const std::size_t size = round_up(sizeof(shared_state)) + round_up(sizeof(track_progress) * tracks.size()) +
                             round_up(sizeof(group_plan) * groups) + round_up(sizeof(slot) * slot_count) +
                             round_up(sizeof(std::uint32_t) * slot_count) +
                             round_up(sizeof(chunk_job) * use.lanes) * slot_count +
                             round_up(std::size_t{chunk_room} * use.lanes) * slot_count + chunk_room;
    auto* const block = static_cast<std::uint8_t*>(std::malloc(size));
    if (block == nullptr) return pipeline_result::no_memory;
    std::uint8_t* at = block;
    const auto take = [&](std::size_t bytes) {
        std::uint8_t* const taken = at;
        at += round_up(bytes);
        return taken;
    };
    auto& state = *new (take(sizeof(shared_state))) shared_state{};
    state.image = image;
    state.settings = use;
    state.chunk_room = chunk_room;
    state.tracks = reinterpret_cast<track_progress*>(take(sizeof(track_progress) * tracks.size()));
    state.groups = reinterpret_cast<group_plan*>(take(sizeof(group_plan) * groups));
    state.group_count = static_cast<std::uint32_t>(groups);
    state.slots = reinterpret_cast<slot*>(take(sizeof(slot) * slot_count));
    state.free_slots = reinterpret_cast<std::uint32_t*>(take(sizeof(std::uint32_t) * slot_count));
    for (std::uint32_t index = 0; index < slot_count; ++index) {
        auto* const jobs = reinterpret_cast<chunk_job*>(take(sizeof(chunk_job) * use.lanes));
        std::uint8_t* const out = take(std::size_t{chunk_room} * use.lanes);
        for (unsigned lane = 0; lane < use.lanes; ++lane) {
            new (&jobs[lane]) chunk_job{};
            jobs[lane].out = out + std::size_t{chunk_room} * lane;
        }
        state.slots[index].jobs = jobs;
        state.free_slots[state.free_count++] = index;
    }
    std::uint8_t* const bridge = take(chunk_room);

    for (std::size_t index = 0; index < tracks.size(); ++index) new (&state.tracks[index]) track_progress{};
    opening_work opening{&state, tracks};
    if (!read_input_guarded(open_tracks, &opening)) {
        state.~shared_state();
        std::free(block);
        return pipeline_result::input_fault;
    }
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

    worker_thread workers[max_threads];
    unsigned started = 0;
    while (started + 1 < use.threads && state.group_count > 1 && start_worker(worker, &state, workers[started])) {
        ++started;
    }
    stats->threads = started + 1;

    pipeline_result result = pipeline_result::done;
    commit_work commit{&state, 0, false, &sink, bridge, stats, false};
    for (std::size_t index = 0; index < tracks.size() && result == pipeline_result::done; ++index) {
        track_progress& track = state.tracks[index];
        const auto track_index = static_cast<std::uint32_t>(index);
        if (!hand_on(commit, track_index, track.opening, track.opening_bytes)) {
            result = pipeline_result::stopped;
            break;
        }
        for (std::uint32_t group = track.first_group; group < track.first_group + track.group_count; ++group) {
            const wait_result waited = wait_for(state, group);
            if (waited == wait_result::fault) {
                result = pipeline_result::input_fault;
                break;
            }
            commit.index = group;
            commit.taken_over = waited == wait_result::taken_over;
            if (commit.taken_over) ++stats->groups_taken_over;
            const bool read = read_input_guarded(commit_group, &commit);
            release(state, group);
            if (!read) {
                result = pipeline_result::input_fault;
            } else if (commit.refused) {
                result = pipeline_result::stopped;
            }
            if (result != pipeline_result::done) break;
        }
        if (result != pipeline_result::done) break;
        finish_work finish{&commit, track_index};
        if (!read_input_guarded(finish_track, &finish)) {
            result = pipeline_result::input_fault;
        } else if (commit.refused || !sink.finish(sink.context, index)) {
            result = pipeline_result::stopped;
        }
        track.done.store(true, std::memory_order_release);
    }

    {
        const std::lock_guard<std::mutex> held(state.lock);
        state.stop = true;
    }
    state.work_available.notify_all();
    for (unsigned index = 0; index < started; ++index) join_worker(workers[index]);
    state.~shared_state();
    std::free(block);
    return result;
}

}  // namespace tolvarin
