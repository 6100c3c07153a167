#include "container.hpp"

namespace tolvarin {
namespace {

std::uint32_t read_u32_le(byte_view image, std::size_t offset) {
    return static_cast<std::uint32_t>(image[offset]) |
           static_cast<std::uint32_t>(image[offset + 1]) << 8 |
           static_cast<std::uint32_t>(image[offset + 2]) << 16 |
           static_cast<std::uint32_t>(image[offset + 3]) << 24;
}

}  // namespace

sequence_list find_sequences(byte_view image) {
    // Position 0 marks an absent sequence. A slot counts from byte 4 of the
    // container, in 32-bit arithmetic, so a slot of 0xFFFFFFFC wraps to 0 and
    // reads as absent.
    std::array<std::uint32_t, max_sequences> table{};
    table[0] = container_header_size;
    if (image.size() >= container_header_size) {
        for (std::uint32_t slot = 1; slot < max_sequences; ++slot) {
            const std::uint32_t value = read_u32_le(image, 4 * slot);
            table[slot] = value == 0 ? 0 : value + 4;
        }
    }

    sequence_list list;
    for (std::uint32_t index = 0; index < max_sequences; ++index) {
        const std::uint32_t position = table[index];
        if (position == 0 || position >= image.size()) break;
        if (image.size() - position < header_block_size) break;
        list.positions[list.count++] = position;
    }
    return list;
}

std::array<std::uint8_t, 4> encode_track_length(std::uint32_t length) {
    return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

}  // namespace tolvarin
