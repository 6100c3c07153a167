// The claims between threads: every thread, the reading one included,
// claims the next group in order when a slot is free for it, speculates it
// holding no lock, and marks it ready; the reading thread waits for the
// group it stitches next, speculating others meanwhile, or takes it over
// when it has nothing else to do.
#include <mutex>

#include "convert/pipeline_state.hpp"

namespace tolvarin {
namespace {

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
void run_claimed(pipeline& state, std::uint32_t index, std::uint8_t* copy_room, std::unique_lock<std::mutex>& held) {
    held.unlock();
    bool copied = true;
    const bool read = guarded(state, [&] { copied = speculate_group(state, index, copy_room); });
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

}  // namespace

void run_write(pipeline& state, const placed_write& write, std::unique_lock<std::mutex>& held) {
    held.unlock();
    const bool written = (*state.settings.placed)(write.offset, {write.data, write.size});
    held.lock();
    if (end_write(state.writes, write, written)) state.free_slots[state.free_count++] = write.slot;
    state.group_ready.notify_all();
    state.work_available.notify_all();
}

namespace {

// Writes wait for a slot to be free, or every group claimed: speculation
// comes first. With placed writes a worker stays for them once every group
// is claimed.
void work(pipeline& state) {
    std::unique_lock<std::mutex> held(state.lock);
    const bool placing = state.settings.placed.has_value();
    std::uint8_t* const copy_room =
        state.copy_rooms == nullptr ? nullptr : state.copy_rooms + state.copy_room_bytes * state.copy_rooms_taken++;
    for (;;) {
        std::uint32_t index = 0;
        state.work_available.wait(held, [&] {
            return state.stop || state.fault || write_waiting(state.writes) ||
                   (state.next_claim >= state.group_count ? !placing : state.free_count > 0);
        });
        if (state.stop || state.fault) return;
        if (claim(state, index)) {
            run_claimed(state, index, copy_room, held);
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

wait_result wait_for(pipeline& state, std::uint32_t index) {
    std::unique_lock<std::mutex> held(state.lock);
    for (;;) {
        // A refused write leaves its slot taken: the group may never come.
        if (state.fault || state.writes.refused.load(std::memory_order_relaxed)) return wait_result::fault;
        group_plan& group = state.groups[index];
        if (group.state == group_state::ready) return wait_result::ready;
        std::uint32_t claimed = 0;
        if ((state.settings.tuning.stitcher_speculates || state.next_claim == index) && claim(state, claimed)) {
            run_claimed(state, claimed, state.copy_rooms, held);
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

void start_workers(pipeline& state) {
    unsigned started = 0;
    state.entry.state = &state;
    while (started + 1 < state.settings.threads && state.group_count > 1 && state.starter->start(state.entry)) {
        ++started;
    }
    state.stats.threads = started + 1;
}

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

}  // namespace tolvarin
