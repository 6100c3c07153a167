#include "convert/shared_writes.hpp"

namespace tolvarin {

void queue_write(shared_writes& writes, const placed_write& write) {
    const auto capacity = static_cast<std::uint32_t>(writes.queue.size());
    writes.queue[(writes.first + writes.queued) % capacity] = write;
    ++writes.queued;
    ++writes.pending[write.slot];
}

bool write_waiting(const shared_writes& writes) {
    return writes.queued > 0 && !writes.refused.load(std::memory_order_relaxed);
}

bool take_write(shared_writes& writes, placed_write& write) {
    if (!write_waiting(writes)) return false;
    write = writes.queue[writes.first];
    writes.first = (writes.first + 1) % static_cast<std::uint32_t>(writes.queue.size());
    --writes.queued;
    ++writes.under_way;
    return true;
}

bool end_write(shared_writes& writes, const placed_write& write, bool written) {
    if (!written) writes.refused.store(true, std::memory_order_release);
    --writes.under_way;
    if (--writes.pending[write.slot] > 0 || !writes.free_when_written[write.slot]) return false;
    writes.free_when_written[write.slot] = false;
    return true;
}

bool slot_free_now(shared_writes& writes, std::uint32_t slot) {
    writes.free_when_written[slot] = writes.pending[slot] > 0;
    return !writes.free_when_written[slot];
}

bool writes_settled(const shared_writes& writes) { return writes.queued == 0 && writes.under_way == 0; }

}  // namespace tolvarin
