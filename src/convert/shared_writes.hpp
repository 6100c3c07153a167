// Output written at its places by whichever thread is free. The reading
// thread stitches the chunks in order, and so learns where in its output
// each chunk's translation goes; with a sink that takes bytes at their
// places, the stretch of a chunk's own output (most of its bytes) is not
// written there and then, but queued, and written by the first thread that
// is free: a worker between groups, or the reading thread while it waits. The
// stretch stays in its slot's room until it is written, so a stitched
// group's slot is freed by its last write. Every track's writes are settled
// before its output is ended, so one output is under way at a time.
//
// Plain data, changed only with the pipeline's lock held.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "fast/guessed_chunks.hpp"

namespace tolvarin {

inline constexpr std::uint32_t max_placed_slots = 32;

struct placed_write {
    std::uint64_t offset = 0;  // where in the track's output
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::uint32_t slot = 0;  // whose room holds the bytes
};

struct shared_writes {
    // A slot's group has at most one stretch per chunk, and a slot is not
    // taken again before its stretches are written: the queue never holds
    // more than this.
    std::array<placed_write, std::size_t{max_placed_slots} * max_lanes> queue{};
    std::uint32_t first = 0;      // the oldest queued
    std::uint32_t queued = 0;
    std::uint32_t under_way = 0;  // taken, not yet ended
    std::array<std::uint32_t, max_placed_slots> pending{};  // per slot: queued or under way
    std::array<bool, max_placed_slots> free_when_written{};  // its group is stitched
    // A write was refused: none starts any more. Read without the lock by
    // the reading thread, before each of its own writes.
    std::atomic<bool> refused{false};
};

void queue_write(shared_writes& writes, const placed_write& write);
// Takes the oldest queued write; false when none is queued, or one was refused.
bool take_write(shared_writes& writes, placed_write& write);
bool write_waiting(const shared_writes& writes);
// The write is over; true when its slot is to be freed now (its group was
// stitched and this was its last stretch).
bool end_write(shared_writes& writes, const placed_write& write, bool written);
// The group in `slot` is stitched: true when the slot can be freed now,
// false when its last write will free it.
bool slot_free_now(shared_writes& writes, std::uint32_t slot);
// Nothing queued, nothing under way.
bool writes_settled(const shared_writes& writes);

}  // namespace tolvarin
