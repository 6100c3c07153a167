#include "format/container.hpp"

#include <algorithm>

namespace tolvarin {
namespace {

std::uint32_t read_u32_le(byte_view image, std::size_t offset) {
    return static_cast<std::uint32_t>(image[offset]) |
           static_cast<std::uint32_t>(image[offset + 1]) << 8 |
           static_cast<std::uint32_t>(image[offset + 2]) << 16 |
           static_cast<std::uint32_t>(image[offset + 3]) << 24;
}

// Where a track is expected to end: where the nearest song record behind its
// own starts (a track normally ends just before it), or the end of the image.
std::uint32_t planned_end(const container_plan& plan, std::uint32_t index, std::size_t image_size) {
    std::uint64_t end = image_size;
    for (std::uint32_t other = 0; other < plan.count; ++other) {
        const std::uint32_t position = plan.songs[other].position;
        if (position > plan.songs[index].position && position < end) end = position;
    }
    return static_cast<std::uint32_t>(end);
}

}  // namespace

container_plan plan_container(byte_view image) {
    container_plan plan;
    if (image_too_large(image.size())) {
        plan.stopped = walk_end::image_too_large;
        return plan;
    }
    // Position 0 marks an absent song. A slot counts from byte 4 of the
    // container, in 32-bit arithmetic, so a slot of 0xFFFFFFFC wraps to 0 and
    // reads as absent. A container shorter than its header has no slots.
    std::array<std::uint32_t, max_songs> table{};
    table[0] = container_header_size;
    if (image.size() >= container_header_size) {
        for (std::uint32_t slot = 1; slot < max_songs; ++slot) {
            const std::uint32_t value = read_u32_le(image, 4 * slot);
            table[slot] = value == 0 ? 0 : value + 4;
        }
    }
    plan.stopped = walk_end::last_slot;
    for (std::uint32_t index = 0; index < max_songs; ++index) {
        const std::uint32_t position = table[index];
        if (position == 0) {
            plan.stopped = walk_end::absent_slot;
            break;
        }
        if (position >= image.size() || image.size() - position < header_block_size) {
            plan.stopped = position >= image.size() ? walk_end::past_the_end : walk_end::head_cut_short;
            plan.stopped_at = position;
            break;
        }
        plan.songs[plan.count++] = {index + 1, position, position + static_cast<std::uint32_t>(header_block_size), 0};
    }
    for (std::uint32_t index = 0; index < plan.count; ++index) {
        song_place& song = plan.songs[index];
        song.planned_end = planned_end(plan, index, image.size());
        if (song.planned_end > song.first_event) plan.track_bytes += song.planned_end - song.first_event;
    }
    return plan;
}

bool plan_fits(const container_plan& plan, std::size_t image_size) {
    if (image_too_large(image_size) || plan.count > max_songs) return false;
    for (std::uint32_t index = 0; index < plan.count; ++index) {
        const song_place& song = plan.songs[index];
        if (song.number < 1 || song.number > max_songs || song.position > image_size ||
            image_size - song.position < header_block_size || song.first_event != song.position + header_block_size ||
            song.planned_end > image_size) {
            return false;
        }
    }
    return true;
}

std::uint64_t output_size_bound(const container_plan& plan, std::uint32_t index, std::size_t image_size) {
    if (index >= plan.count || !plan_fits(plan, image_size)) return 0;
    const std::uint64_t available = image_size - plan.songs[index].first_event;
    return header_block_size + available + available / 2;
}

std::array<std::uint8_t, 4> encode_track_length(std::uint32_t length) {
    return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

}  // namespace tolvarin
