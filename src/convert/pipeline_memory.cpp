// The memory of a conversion: one block taken from the allocator at the
// start (the library allocates nothing while it converts, and throws
// nothing when memory runs out), laid out as the state, each track's
// progress, the groups, each slot's jobs and output room, the reading
// thread's bridge, and each thread's room for copies.
#include <algorithm>
#include <cstdlib>
#include <new>

#include "convert/pipeline_state.hpp"

namespace tolvarin {
namespace {

// Each part of the block starts on its own cache line (64 bytes), so that
// threads writing to neighbouring parts do not share one.
std::size_t round_up_to_line(std::size_t size) { return (size + 63) / 64 * 64; }

// Where each part lies in the block, from its start.
struct block_layout {
    std::size_t tracks;
    std::size_t groups;
    std::size_t slots;
    std::size_t free_slots;
    std::size_t jobs;
    std::size_t outputs;
    std::size_t bridge;
    std::size_t copy_rooms;
    std::size_t total;
};

block_layout lay_out(std::size_t track_count, std::size_t group_count, std::uint32_t slot_count, unsigned lanes,
                     std::uint32_t chunk_room, std::size_t copy_room_bytes, unsigned copy_room_count) {
    block_layout layout{};
    std::size_t at = round_up_to_line(sizeof(pipeline));
    const auto take = [&](std::size_t bytes) {
        const std::size_t offset = at;
        at += round_up_to_line(bytes);
        return offset;
    };
    layout.tracks = take(sizeof(track_progress) * track_count);
    layout.groups = take(sizeof(group_plan) * group_count);
    layout.slots = take(sizeof(slot) * slot_count);
    layout.free_slots = take(sizeof(std::uint32_t) * slot_count);
    layout.jobs = at;
    at += round_up_to_line(sizeof(chunk_job) * lanes) * slot_count;
    layout.outputs = at;
    at += round_up_to_line(std::size_t{chunk_room} * lanes) * slot_count;
    layout.bridge = take(chunk_room);
    layout.copy_rooms = at;
    at += copy_room_bytes * copy_room_count;
    layout.total = at;
    return layout;
}

// Every slot's jobs, each with its output room; every slot free.
void set_up_slots(pipeline& state, std::uint8_t* block, const block_layout& layout, std::uint32_t slot_count) {
    const unsigned lanes = state.settings.tuning.lanes;
    const std::size_t jobs_bytes = round_up_to_line(sizeof(chunk_job) * lanes);
    const std::size_t outputs_bytes = round_up_to_line(std::size_t{state.chunk_room} * lanes);
    state.slots = reinterpret_cast<slot*>(block + layout.slots);
    state.free_slots = reinterpret_cast<std::uint32_t*>(block + layout.free_slots);
    for (std::uint32_t index = 0; index < slot_count; ++index) {
        auto* const jobs = reinterpret_cast<chunk_job*>(block + layout.jobs + jobs_bytes * index);
        std::uint8_t* const out = block + layout.outputs + outputs_bytes * index;
        for (unsigned lane = 0; lane < lanes; ++lane) {
            new (&jobs[lane]) chunk_job{};
            jobs[lane].out = out + std::size_t{state.chunk_room} * lane;
        }
        state.slots[index].jobs = jobs;
        state.free_slots[state.free_count++] = index;
    }
}

}  // namespace

std::uint64_t count_groups(std::span<const pipeline_track> tracks, std::uint64_t group_bytes) {
    std::uint64_t count = 0;
    for (const pipeline_track& track : tracks) {
        if (track.planned_end > track.first_event) {
            count += (track.planned_end - track.first_event + group_bytes - 1) / group_bytes;
        }
    }
    return count;
}

std::size_t copy_room_size(const pipeline_settings& use, std::uint64_t group_count, std::uint64_t image_size) {
    if (use.reader == nullptr || group_count == 0) return 0;
    // A group's bytes and what is read beyond them; a copy never runs past
    // the image's end.
    const std::uint64_t group_bytes = std::uint64_t{use.tuning.chunk_bytes} * use.tuning.lanes;
    return round_up_to_line(static_cast<std::size_t>(std::min(group_bytes + use.tuning.read_beyond, image_size)));
}

pipeline* make_state(byte_view image, std::span<const pipeline_track> tracks, const pipeline_settings& use,
                     std::size_t group_count, std::uint32_t slot_count, std::size_t copy_room_bytes) {
    const auto chunk_room = static_cast<std::uint32_t>(chunk_output_room(use.tuning.chunk_bytes));
    const block_layout layout =
        lay_out(tracks.size(), group_count, slot_count, use.tuning.lanes, chunk_room, copy_room_bytes, use.threads);
    auto* const block = static_cast<std::uint8_t*>(use.memory != nullptr ? use.memory->take(layout.total)
                                                                           : std::malloc(layout.total));
    if (block == nullptr) return nullptr;
    auto* const state = new (block) pipeline{};
    state->block_bytes = layout.total;
    state->image = image;
    state->settings = use;
    state->chunk_room = chunk_room;
    state->starter = use.starter != nullptr ? use.starter : &state->own_threads;
    state->level = use.tuning.force_portable ? wide_level::portable : std::min(best_wide_level(), use.tuning.widest);
    state->tracks = reinterpret_cast<track_progress*>(block + layout.tracks);
    state->track_count = tracks.size();
    for (std::size_t index = 0; index < tracks.size(); ++index) new (&state->tracks[index]) track_progress{};
    state->groups = reinterpret_cast<group_plan*>(block + layout.groups);
    set_up_slots(*state, block, layout, slot_count);
    state->bridge = block + layout.bridge;
    if (copy_room_bytes > 0) {
        state->copy_rooms = block + layout.copy_rooms;
        state->copy_room_bytes = copy_room_bytes;
        state->copy_rooms_taken = 1;  // the reading thread's
    }
    return state;
}

}  // namespace tolvarin
