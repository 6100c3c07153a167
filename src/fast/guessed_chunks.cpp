#include "fast/guessed_chunks.hpp"

#include <algorithm>

#include "fast/fast_step.hpp"

namespace tolvarin {
namespace {

// The class a chunk takes at its first running event if no explicit status
// has settled it before: none. A chunk that starts inside a text event reads
// its letters as delta times and running events, and the streams that need
// the class to be right from the start are those without channel events
// (meta events only), whose class is none. Any other stream sets its class
// with its next explicit channel status. A wrong guess costs a translation
// again, never a byte.
constexpr running_class class_guess = no_running;

// Where a chunk's translation starts: at its first byte, or, when a meta
// event (FF, behind a delta-time byte below 0x80) lies within the first
// bytes, at that delta time. Meta events are common in real songs (text,
// tempo) and an FF is rarely anything else, so starting there starts in step
// far more often than starting anywhere.
constexpr std::uint32_t anchor_reach = 64;

std::uint32_t start_position(byte_view image, const chunk_job& job) {
    const std::uint32_t reach = std::min<std::uint32_t>(job.end, job.begin + anchor_reach);
    for (std::uint32_t at = job.begin + 1; at < reach; ++at) {
        if (image[at] == 0xFF && image[at - 1] < 0x80) return at - 1;
    }
    return job.begin;
}

// An end of track met while recording is more likely bytes read out of step
// (a tempo value, say) than the track's end: recording starts again behind it.
constexpr unsigned max_restarts = 8;

// Boundaries are recorded at every event for the first dense_records, then
// about every record_spacing bytes: a guess usually falls into step within a
// few events, and sometimes only after a few dozen.
constexpr std::uint32_t dense_records = 16;
constexpr std::uint32_t record_spacing = 24;

// A chunk in progress: its lane, how far the lane may go with wide steps,
// and whether it has finished its track.
struct lane_state {
    fast::lane at;
    const std::uint8_t* limit;
    chunk_job* job;
    bool finished;
};

std::uint32_t position_of(byte_view image, const fast::lane& at) {
    return static_cast<std::uint32_t>(at.in - image.data());
}

// The careful steps take the cursor form, which has no unknown class: the
// guess is taken for good.
event_cursor settle(byte_view image, fast::lane& at, bool finished) {
    if (fast::lane_class(at) == unknown_running) {
        at.row = at.guess_row;
        at.guessed = true;
    }
    return {position_of(image, at), fast::lane_class(at), finished};
}

// One event of a chunk's lane, wide where it can be, careful where it must.
// Returns false when the lane has finished its track.
bool lane_step(byte_view image, chunk_job& job, fast::lane& at) {
    const std::uint8_t* const end = image.data() + image.size();
    if (image.size() > fast::input_margin && at.in < end - fast::input_margin) {
        const fast::wide_result result = fast::wide_event(at, end);
        if (result != fast::wide_result::careful) return result == fast::wide_result::next;
    }
    event_cursor cursor = settle(image, at, false);
    const std::size_t written = static_cast<std::size_t>(at.out - job.out);
    const std::size_t room = chunk_output_room(job.end - job.begin);
    at.out += translate_events(image, cursor, cursor.position + 1, {at.out, room - written});
    at.in = image.data() + cursor.position;
    at.row = fast::class_row(cursor.running);
    return !cursor.finished;
}

// Starts a chunk: its first events a few at a time, recording boundaries,
// then a lane for the rest. False when the chunk is done already.
bool start_chunk(byte_view image, chunk_job& job, lane_state& lane) {
    job.record_count = 0;
    const running_class first = job.known ? job.running : unknown_running;
    const std::uint32_t begin = job.known ? job.begin : start_position(image, job);
    const fast::lane start{image.data() + begin, job.out, fast::class_row(first),
                           fast::class_row(class_guess), false};
    lane = {start, nullptr, &job, false};
    fast::lane& at = lane.at;
    if (!job.known) {
        std::uint32_t next_record = begin;
        unsigned restarts = 0;
        while (!lane.finished && position_of(image, at) < job.end && job.record_count < max_boundary_records) {
            const std::uint32_t position = position_of(image, at);
            if (position >= next_record) {
                job.records[job.record_count++] = {position, fast::lane_class(at),
                                                   static_cast<std::uint32_t>(at.out - job.out)};
                next_record = position + (job.record_count < dense_records ? 1 : record_spacing);
            }
            lane.finished = !lane_step(image, job, at);
            if (lane.finished && restarts < max_restarts && position_of(image, at) < image.size()) {
                ++restarts;
                const std::uint32_t behind = position_of(image, at);
                at = start;
                at.in = image.data() + behind;
                job.record_count = 0;
                next_record = behind;
                lane.finished = false;
            }
        }
    }
    lane.limit = std::min(image.data() + job.end, fast::wide_limit(image));
    return !lane.finished && position_of(image, at) < job.end;
}

// Starts a chunk where the one before it, translated in stretches,
// stopped: no guess, and the one boundary recorded is where it starts. When
// the chunk before is kept, so is this one, at once; the stretches are
// bound by their work rather than by one event after another, so nothing is
// gained by guessing each chunk of a group on its own. False when there is
// nothing to go on from (the chunk before ended its track) or the chunk is
// done already.
bool chain_chunk(byte_view image, const chunk_job& before, chunk_job& job, lane_state& lane) {
    if (before.exit.finished || before.exit.running == unknown_running) return false;
    const std::uint32_t begin = before.exit.position;
    job.record_count = 1;
    job.records[0] = {begin, before.exit.running, 0};
    const fast::lane start{image.data() + begin, job.out, fast::class_row(before.exit.running),
                           fast::class_row(class_guess), false};
    lane = {start, std::min(image.data() + job.end, fast::wide_limit(image)), &job, false};
    return true;
}

// The bytes behind a guessed chunk's exit that a true boundary in its first
// event can move the exit by: an event of a run is at most three bytes.
constexpr std::uint32_t run_overhang = 2;

// Whether the chunk's translation from its begin wrote exactly the bytes it
// read, all below 0x80 (a run: a pad or a status would show); then the
// bytes of the run behind its exit are put behind its output, and the run's
// length is returned.
std::uint32_t copied_run(byte_view image, chunk_job& job) {
    if (job.known || job.exit.finished || job.record_count == 0 || job.records[0].position != job.begin ||
        job.records[0].written != 0 || job.written != job.exit.position - job.begin) {
        return 0;
    }
    if (std::uint64_t{job.exit.position} + run_overhang > image.size()) return 0;
    const std::uint32_t end = job.exit.position + run_overhang;
    // A block at a time, so that a stream with statuses stops at once and a
    // run goes at the speed of its loads.
    constexpr std::uint32_t block = 64;
    for (std::uint32_t at = job.begin; at < end;) {
        const std::uint32_t block_end = at + std::min(block, end - at);
        std::uint8_t any = 0;
        for (; at < block_end; ++at) any = static_cast<std::uint8_t>(any | image[at]);
        if (any >= 0x80) return 0;
    }
    for (std::uint32_t i = 0; i < run_overhang; ++i) job.out[job.written + i] = image[job.exit.position + i];
    return end - job.begin;
}

// Ends a chunk whose lane stopped: at its end, at an end of track, or near
// the end of the image, where the careful steps take over.
void finish_chunk(byte_view image, lane_state& lane) {
    chunk_job& job = *lane.job;
    fast::lane& at = lane.at;
    while (!lane.finished && position_of(image, at) < job.end) {
        const std::uint32_t before = position_of(image, at);
        const std::uint32_t row = at.row;
        lane.finished = !lane_step(image, job, at);
        if (position_of(image, at) == before && at.row == row && !lane.finished) break;
    }
    job.exit = {position_of(image, at), fast::lane_class(at), lane.finished};
    job.written = static_cast<std::size_t>(at.out - job.out);
    job.guess = at.guessed ? static_cast<running_class>(at.guess_row >> 8) : unknown_running;
    job.copied_run = copied_run(image, job);
}

// Moves every lane on by one event per round while all of them can take a
// wide step. A lane that cannot (its limit reached, an end of track, or an
// event to be taken carefully) has its limit set where it stands, so the
// loop ends after the round.
template <unsigned lanes>
void run_lanes(lane_state* state, const std::uint8_t* end) {
    fast::lane at[lanes];
    const std::uint8_t* limit[lanes];
    for (unsigned i = 0; i < lanes; ++i) {
        at[i] = state[i].at;
        limit[i] = state[i].limit;
    }
    for (;;) {
        bool stop = false;
        for (unsigned i = 0; i < lanes; ++i) stop |= at[i].in >= limit[i];
        if (stop) break;
        for (unsigned i = 0; i < lanes; ++i) {
            const fast::wide_result result = fast::wide_event(at[i], end);
            if (result != fast::wide_result::next) {
                limit[i] = at[i].in;
                state[i].finished = result == fast::wide_result::end_of_track;
            }
        }
    }
    for (unsigned i = 0; i < lanes; ++i) {
        state[i].at = at[i];
        state[i].limit = limit[i];
    }
}

void run_lanes(lane_state* state, unsigned count, const std::uint8_t* end) {
    switch (count) {
        case 4: run_lanes<4>(state, end); break;
        case 3: run_lanes<3>(state, end); break;
        case 2: run_lanes<2>(state, end); break;
        default: run_lanes<1>(state, end); break;
    }
}

// A chunk's events behind its recorded boundaries, up to `stop`, in whole
// stretches: the vector path is bound by its work, not by the latency of one
// event after another, so one chunk at a time serves. False when the
// stretches' guesses kept failing.
bool translate_chunk_part(byte_view image, lane_state& lane, std::uint32_t stop, wide_level level) {
    chunk_job& job = *lane.job;
    if (lane.finished || position_of(image, lane.at) >= stop) return true;
    event_cursor cursor = settle(image, lane.at, false);
    const std::size_t written = static_cast<std::size_t>(lane.at.out - job.out);
    const std::size_t room = chunk_output_room(job.end - job.begin);
    bool poor = false;
    lane.at.out += translate_events(image, cursor, stop, {lane.at.out, room - written}, level, &poor);
    lane.at.in = image.data() + cursor.position;
    lane.at.row = fast::class_row(cursor.running);
    lane.finished = cursor.finished;
    return !poor;
}

// The trial: how far into a group the stretches are tried before the rest of it is
// given to the one or the other level: a few stretches, little to lose on a
// stream whose guesses fail.
constexpr std::uint32_t trial_bytes = 3 * 4096;

// The portable level: up to `lanes` chunks interleaved, the first `active`
// of `state` started already, the jobs from `next` on still to start.
void speculate_portable(byte_view image, std::span<chunk_job> jobs, unsigned lanes, lane_state* state,
                        unsigned active, std::size_t next) {
    const std::uint8_t* const end = image.data() + image.size();
    for (;;) {
        // Keep every lane busy while chunks remain.
        while (active < lanes && next < jobs.size()) {
            if (start_chunk(image, jobs[next], state[active])) {
                ++active;
            } else {
                finish_chunk(image, state[active]);
            }
            ++next;
        }
        if (active == 0) break;
        run_lanes(state, active, end);
        for (unsigned i = 0; i < active;) {
            if (state[i].at.in >= state[i].limit) {
                finish_chunk(image, state[i]);
                state[i] = state[--active];
            } else {
                ++i;
            }
        }
    }
}

// Whether the true translation, standing at `cursor`, meets the chunk's
// translation at `record`.
bool meets(const event_cursor& cursor, const boundary_record& record, const chunk_job& job) {
    if (record.position != cursor.position) return false;
    if (record.running != unknown_running) return record.running == cursor.running;
    return job.guess == unknown_running || job.guess == cursor.running;
}

// The bytes of a running event in a run, by class; 0 where a pad makes the
// output differ by phase. With no running status each byte is a delta time.
constexpr std::uint32_t run_event_bytes[running_class_count] = {1, 0, 3, 2};

// Where the true translation, standing at `cursor`, leaves a chunk that is a
// copied run: its events of one size from the cursor on, the first boundary
// at or past the chunk's end, if the run holds it. False where the chunk is
// no such run for the cursor.
bool run_exit(const event_cursor& cursor, const chunk_job& job, std::uint32_t& exit) {
    if (job.copied_run == 0 || cursor.finished || cursor.running >= running_class_count ||
        cursor.position < job.begin || cursor.position >= job.end) {
        return false;
    }
    const std::uint32_t length = run_event_bytes[cursor.running];
    if (length == 0) return false;
    const std::uint64_t to_end = job.end - cursor.position;
    const std::uint64_t at = cursor.position + (to_end + length - 1) / length * length;
    if (at > std::uint64_t{job.begin} + job.copied_run) return false;
    exit = static_cast<std::uint32_t>(at);
    return true;
}

}  // namespace

wide_level speculate_chunks(byte_view image, std::span<chunk_job> jobs, unsigned lanes, wide_level level) {
    lanes = std::clamp(lanes, 1u, max_lanes);
    lane_state state[max_lanes];
    if (takes_stretches(level) && !jobs.empty()) {
        // The first chunk's first stretches decide the group's level.
        lane_state& first = state[0];
        const bool started = start_chunk(image, jobs[0], first);
        const std::uint32_t trial_end =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(jobs[0].end, position_of(image, first.at) + std::uint64_t{trial_bytes}));
        if (!started || translate_chunk_part(image, first, trial_end, level)) {
            if (started) translate_chunk_part(image, first, jobs[0].end, level);
            finish_chunk(image, first);
            for (std::size_t index = 1; index < jobs.size(); ++index) {
                chunk_job& job = jobs[index];
                lane_state lane;
                const bool chained = chain_chunk(image, jobs[index - 1], job, lane);
                if ((chained || start_chunk(image, job, lane)) && position_of(image, lane.at) < job.end) {
                    translate_chunk_part(image, lane, job.end, level);
                }
                finish_chunk(image, lane);
            }
            return level;
        }
        // The trial went event by event after its guesses failed; the first
        // chunk goes on as a lane of the portable level.
        const bool going_on = !first.finished && first.at.in < first.limit;
        if (!going_on) finish_chunk(image, first);
        speculate_portable(image, jobs, lanes, state, going_on ? 1 : 0, 1);
        return wide_level::portable;
    }
    speculate_portable(image, jobs, lanes, state, 0, 0);
    return wide_level::portable;
}

wide_level speculate_chunks(const image_copy& bytes, std::span<chunk_job> jobs, unsigned lanes, wide_level level) {
    for (chunk_job& job : jobs) {
        job.begin -= bytes.first;
        job.end -= bytes.first;
    }
    const wide_level taken = speculate_chunks(bytes.bytes, jobs, lanes, level);
    for (chunk_job& job : jobs) {
        job.begin += bytes.first;
        job.end += bytes.first;
        job.exit.position += bytes.first;
        for (std::uint32_t record = 0; record < job.record_count; ++record) {
            job.records[record].position += bytes.first;
        }
        if (!bytes.holds(job.exit.position)) {
            job.known = false;
            job.record_count = 0;
            job.copied_run = 0;
        }
    }
    return taken;
}

stitch_result stitch_chunk(const image_copy& bytes, event_cursor& cursor, const chunk_job& job,
                           std::span<std::uint8_t> bridge, wide_level level) {
    stitch_result result;
    if (job.known && cursor.position == job.begin && cursor.running == job.running && !cursor.finished) {
        result.kept = true;
        result.kept_to = job.written;
        cursor = job.exit;
        return result;
    }
    std::uint32_t run_end = 0;
    if (run_exit(cursor, job, run_end)) {
        // The run's bytes from the cursor on are the output, to the new exit.
        result.kept = true;
        result.kept_from = cursor.position - job.begin;
        result.kept_to = run_end - job.begin;
        cursor.position = run_end;
        return result;
    }
    std::uint32_t next = 0;
    while (!cursor.finished && cursor.position < job.end) {
        while (next < job.record_count && job.records[next].position < cursor.position) ++next;
        std::uint32_t stop = job.end;
        if (next < job.record_count && job.records[next].position == cursor.position) {
            if (meets(cursor, job.records[next], job)) {
                result.kept = true;
                result.kept_from = job.records[next].written;
                result.kept_to = job.written;
                // A chunk that never needed its class ends with the true one.
                const running_class running = cursor.running;
                cursor = job.exit;
                if (cursor.running == unknown_running) cursor.running = running;
                return result;
            }
            // The same place under another running status: one event on.
            stop = cursor.position + 1;
        } else if (next < job.record_count) {
            stop = job.records[next].position;
        }
        const std::uint32_t before = cursor.position;
        result.bridge_bytes += bytes.translate(cursor, stop, bridge.subspan(result.bridge_bytes), level);
        if (cursor.position == before && !cursor.finished) break;
    }
    return result;
}

std::uint32_t stitch_reach(const event_cursor& cursor, const chunk_job& job) {
    if (cursor.finished || cursor.position >= job.end) return cursor.position;
    if (job.known && cursor.position == job.begin && cursor.running == job.running) return cursor.position;
    std::uint32_t run_end = 0;
    if (run_exit(cursor, job, run_end)) return cursor.position;
    const boundary_record* const records = job.records.data();
    const boundary_record* const first =
        std::lower_bound(records, records + job.record_count, cursor.position,
                         [](const boundary_record& record, std::uint32_t position) { return record.position < position; });
    if (first == records + job.record_count) return job.end;
    if (meets(cursor, *first, job)) return cursor.position;
    return std::max(records[job.record_count - 1].position, cursor.position + 1);
}

}  // namespace tolvarin
