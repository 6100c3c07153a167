// What the translation reads: the image, or with a caller's image_reader,
// copies of it (image_copy) in each thread's copy room. A worker's copy
// holds the group it speculates and read_beyond bytes more; the reading
// thread's copies hold what it translates in order or stitches. A
// translation that ran to its copy's end before the image's may have met
// the end of the copy inside an event: a speculated chunk then keeps no
// boundary and is translated again, and a step in order or a stitch is
// done again on the image.
#include <algorithm>

#include "convert/pipeline_state.hpp"

namespace tolvarin {
namespace {

// Reads the image's bytes from `from` into `room`, as many as a copy that
// is to hold the events starting before `upto` takes. False when the reader
// could not give them.
bool read_copy(const pipeline& state, std::uint8_t* room, std::uint32_t from, std::uint64_t upto, image_copy& copy) {
    const std::uint32_t end = image_copy::end_for(from, upto, state.settings.tuning.read_beyond, state.image.size(),
                                                  state.copy_room_bytes);
    const std::span<std::uint8_t> bytes{room, std::size_t{end} - from};
    if (!state.settings.reader->read(from, bytes)) return false;
    copy = {bytes, from, state.image.size()};
    return true;
}

// The level for the reading thread's own translation of the track.
wide_level level_now(const pipeline& state, const track_progress& track) {
    return state.reading.group < track.vector_from_group.load(std::memory_order_relaxed) ? wide_level::portable
                                                                                            : state.level;
}

}  // namespace

bool speculate_group(pipeline& state, std::uint32_t index, std::uint8_t* copy_room) {
    group_plan& group = state.groups[index];
    track_progress& track = state.tracks[group.track];
    group.speculated = false;
    if (track.done.load(std::memory_order_acquire) ||
        (track.serial.load(std::memory_order_acquire) && index % probe_spacing != 0)) {
        return true;
    }
    image_copy bytes = image_copy::whole(state.image);
    if (copy_room != nullptr && !read_copy(state, copy_room, group.begin, group.end, bytes)) return false;
    chunk_job* const jobs = state.slots[group.slot].jobs;
    const std::uint32_t chunk = state.settings.tuning.chunk_bytes;
    std::uint32_t count = 0;
    for (std::uint64_t begin = group.begin; begin < group.end; begin += chunk, ++count) {
        chunk_job& job = jobs[count];
        job.begin = static_cast<std::uint32_t>(begin);
        job.end = static_cast<std::uint32_t>(std::min<std::uint64_t>(begin + chunk, group.end));
        job.known = group.first && count == 0;
        job.running = no_running;
    }
    const wide_level level =
        index < track.vector_from_group.load(std::memory_order_relaxed) ? wide_level::portable : state.level;
    if (speculate_chunks(bytes, {jobs, count}, state.settings.tuning.lanes, level) != level) {
        track.vector_from_group.store(index + vector_retry_spacing, std::memory_order_relaxed);
    }
    group.speculated = true;
    return true;
}

// With a reader, the events that start within a chunk's worth of bytes from
// the cursor are translated on a copy of them; one that the copy does not
// hold is done again on the image.
bool translate_in_order(pipeline& state, track_progress& track, std::uint32_t stop, std::size_t& written) {
    const std::span<std::uint8_t> room{state.bridge, state.chunk_room};
    const wide_level level = level_now(state, track);
    const std::uint32_t from = track.cursor.position;
    if (state.copy_rooms != nullptr && !track.cursor.finished && from < stop && from < state.image.size()) {
        const std::uint64_t step_end = std::min<std::uint64_t>(stop, std::uint64_t{from} + state.settings.tuning.chunk_bytes);
        image_copy copy;
        if (!read_copy(state, state.copy_rooms, from, step_end, copy)) return false;
        event_cursor cursor = track.cursor;
        const std::size_t bytes =
            copy.translate(cursor, static_cast<std::uint32_t>(std::min<std::uint64_t>(step_end, copy.end())), room, level);
        if (copy.holds(cursor.position)) {
            track.cursor = cursor;
            written = bytes;
            return true;
        }
    }
    written = translate_events(state.image, track.cursor, stop, room, level);
    return true;
}

// With a reader, the stitch reads a copy from the cursor on: first up to
// the chunk's last recorded boundary, which is where a bridge that meets the
// chunk ends; a bridge that met none runs on to the chunk's end, so the
// stitch is done again on a copy of the rest of the chunk. A bridge that
// its copy still does not hold, not kept (an event may go on past the
// copy), is done again on the image.
bool stitch_in_order(pipeline& state, track_progress& track, const chunk_job& job, stitch_result& stitched) {
    const std::span<std::uint8_t> bridge{state.bridge, state.chunk_room};
    const wide_level level = level_now(state, track);
    const std::uint32_t from = track.cursor.position;
    const std::uint32_t reach = stitch_reach(track.cursor, job);
    if (state.copy_rooms != nullptr && reach > from) {
        for (const std::uint32_t upto : {reach, std::max(reach, job.end)}) {
            image_copy copy;
            if (!read_copy(state, state.copy_rooms, from, upto, copy)) return false;
            event_cursor cursor = track.cursor;
            stitched = stitch_chunk(copy, cursor, job, bridge, level);
            if (stitched.kept || copy.holds(cursor.position)) {
                track.cursor = cursor;
                return true;
            }
            if (upto >= job.end) break;
        }
    }
    stitched = stitch_chunk(state.image, track.cursor, job, bridge, level);
    return true;
}

}  // namespace tolvarin
