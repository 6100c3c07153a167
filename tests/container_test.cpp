#include <gtest/gtest.h>

#include <ostream>

#include <vector>

#include "bytes.hpp"
#include "container.hpp"

namespace {

using test_support::bytes;

struct walk_case {
    const char* name;
    std::size_t image_size;
    std::uint32_t slots[3];  // slots 2, 3 and 4 as stored
    std::vector<std::uint32_t> positions;  // expected sequence positions, in order
};

// Names the case in test listings instead of dumping its bytes.
std::ostream& operator<<(std::ostream& out, const walk_case& c) { return out << c.name; }

class container_walk : public testing::TestWithParam<walk_case> {};

TEST_P(container_walk, finds_the_expected_sequences) {
    const walk_case& c = GetParam();
    bytes image(c.image_size, 0x00);
    for (std::size_t slot = 0; slot < 3; ++slot) {
        if (image.size() >= 4 * (slot + 2)) test_support::put_u32_le(image, 4 * (slot + 1), c.slots[slot]);
    }
    const tolvarin::sequence_list list = tolvarin::find_sequences(image);
    const std::vector<std::uint32_t> found(list.positions.begin(), list.positions.begin() + list.count);
    EXPECT_EQ(found, c.positions);
}

INSTANTIATE_TEST_SUITE_P(
    slots, container_walk,
    testing::Values(
        walk_case{"empty_file", 0, {0, 0, 0}, {}},
        walk_case{"shorter_than_header", 15, {0, 0, 0}, {}},
        walk_case{"header_only", 16, {0, 0, 0}, {}},
        // The first header block needs 22 bytes behind offset 16.
        walk_case{"header_block_does_not_fit", 37, {0, 0, 0}, {}},
        walk_case{"header_block_just_fits", 38, {0, 0, 0}, {16}},
        walk_case{"slot_2_absent", 200, {0, 60, 100}, {16}},
        walk_case{"slot_2_at_end", 200, {196, 0, 0}, {16}},
        walk_case{"slot_2_beyond_end", 200, {5000, 0, 0}, {16}},
        walk_case{"slot_2_header_runs_past_end", 200, {175, 0, 0}, {16}},
        walk_case{"slot_2_header_ends_at_end", 200, {174, 0, 0}, {16, 178}},
        walk_case{"slots_2_and_3", 200, {50, 100, 0}, {16, 54, 104}},
        walk_case{"slot_4_gives_a_fourth_sequence", 200, {50, 100, 150}, {16, 54, 104, 154}},
        walk_case{"slot_value_0x100", 0x200, {0x100, 0, 0}, {16, 0x104}},
        walk_case{"any_order", 200, {150, 50, 100}, {16, 154, 54, 104}},
        walk_case{"same_position_twice", 200, {50, 50, 0}, {16, 54, 54}},
        walk_case{"slot_3_beyond_end_stops_before_slot_4", 200, {50, 900, 100}, {16, 54}},
        // Positions are slot + 4 in 32-bit arithmetic: FFFFFFFC wraps to 0,
        // which marks an absent sequence; FFFFFFFD wraps to position 1.
        walk_case{"slot_wrapping_to_zero_is_absent", 200, {0xFFFFFFFC, 50, 0}, {16}},
        walk_case{"slot_wrapping_to_one", 200, {0xFFFFFFFD, 0, 0}, {16, 1}},
        walk_case{"slot_near_4_gib", 200, {0xFFFFFFF0, 0, 0}, {16}}),
    [](const testing::TestParamInfo<walk_case>& info) { return std::string(info.param.name); });

TEST(container_walk, short_file_reads_no_slots) {
    // 12 bytes: slots 2 and part of 3 would be present but the header is
    // incomplete, and sequence 1 lies past the end anyway.
    bytes image(12, 0xFF);
    EXPECT_EQ(tolvarin::find_sequences(image).count, 0u);
}

TEST(track_length, is_big_endian) {
    const auto small = tolvarin::encode_track_length(0x0C);
    EXPECT_EQ(test_support::hex_string(bytes(small.begin(), small.end())), "00 00 00 0C");
    const auto wide = tolvarin::encode_track_length(0x01020304);
    EXPECT_EQ(test_support::hex_string(bytes(wide.begin(), wide.end())), "01 02 03 04");
}

}  // namespace
