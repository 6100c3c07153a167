#include <gtest/gtest.h>

#include <ostream>

#include <vector>

#include "bytes.hpp"
#include "format/container.hpp"

namespace {

using test_support::bytes;

using tolvarin::walk_end;

struct walk_case {
    const char* name;
    std::size_t image_size;
    std::uint32_t slots[3];                   // slots 2, 3 and 4 as stored
    std::vector<std::uint32_t> positions;     // expected song positions, in order
    std::vector<std::uint32_t> planned_ends;  // where each track is expected to end
    walk_end stopped;
    std::uint64_t stopped_at;
    std::uint64_t track_bytes;
};

// Names the case in test listings instead of dumping its bytes.
std::ostream& operator<<(std::ostream& out, const walk_case& c) { return out << c.name; }

class container_walk : public testing::TestWithParam<walk_case> {};

TEST_P(container_walk, plans_the_expected_songs) {
    const walk_case& c = GetParam();
    bytes image(c.image_size, 0x00);
    for (std::size_t slot = 0; slot < 3; ++slot) {
        if (image.size() >= 4 * (slot + 2)) test_support::put_u32_le(image, 4 * (slot + 1), c.slots[slot]);
    }
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    std::vector<std::uint32_t> positions;
    std::vector<std::uint32_t> planned_ends;
    for (std::uint32_t index = 0; index < plan.count; ++index) {
        EXPECT_EQ(plan.songs[index].number, index + 1);
        EXPECT_EQ(plan.songs[index].first_event, plan.songs[index].position + 22);
        positions.push_back(plan.songs[index].position);
        planned_ends.push_back(plan.songs[index].planned_end);
    }
    EXPECT_EQ(positions, c.positions);
    EXPECT_EQ(planned_ends, c.planned_ends);
    EXPECT_EQ(plan.stopped, c.stopped);
    EXPECT_EQ(plan.stopped_at, c.stopped_at);
    EXPECT_EQ(plan.track_bytes, c.track_bytes);
}

// Track bytes: from each song's first event (its position + 22) to its
// planned end, where that lies behind it.
INSTANTIATE_TEST_SUITE_P(
    slots, container_walk,
    testing::Values(
        walk_case{"empty_file", 0, {0, 0, 0}, {}, {}, walk_end::past_the_end, 16, 0},
        walk_case{"shorter_than_header", 15, {0, 0, 0}, {}, {}, walk_end::past_the_end, 16, 0},
        walk_case{"header_only", 16, {0, 0, 0}, {}, {}, walk_end::past_the_end, 16, 0},
        // The first head needs 22 bytes behind offset 16.
        walk_case{"header_block_does_not_fit", 37, {0, 0, 0}, {}, {}, walk_end::head_cut_short, 16, 0},
        walk_case{"header_block_just_fits", 38, {0, 0, 0}, {16}, {38}, walk_end::absent_slot, 0, 0},
        walk_case{"slot_2_absent", 200, {0, 60, 100}, {16}, {200}, walk_end::absent_slot, 0, 162},
        walk_case{"slot_2_at_end", 200, {196, 0, 0}, {16}, {200}, walk_end::past_the_end, 200, 162},
        walk_case{"slot_2_beyond_end", 200, {5000, 0, 0}, {16}, {200}, walk_end::past_the_end, 5004, 162},
        walk_case{"slot_2_header_runs_past_end", 200, {175, 0, 0}, {16}, {200}, walk_end::head_cut_short, 179, 162},
        walk_case{"slot_2_header_ends_at_end", 200, {174, 0, 0}, {16, 178}, {178, 200}, walk_end::absent_slot, 0, 140},
        walk_case{"slots_2_and_3", 200, {50, 100, 0}, {16, 54, 104}, {54, 104, 200}, walk_end::absent_slot, 0, 118},
        walk_case{"slot_4_gives_a_fourth_song", 200, {50, 100, 150}, {16, 54, 104, 154}, {54, 104, 154, 200},
                  walk_end::last_slot, 0, 96},
        walk_case{"slot_value_0x100", 0x200, {0x100, 0, 0}, {16, 0x104}, {0x104, 0x200}, walk_end::absent_slot, 0, 452},
        walk_case{"any_order", 200, {150, 50, 100}, {16, 154, 54, 104}, {54, 200, 104, 154}, walk_end::last_slot, 0, 96},
        walk_case{"reverse_order", 200, {150, 100, 50}, {16, 154, 104, 54}, {54, 200, 154, 104}, walk_end::last_slot, 0,
                  96},
        // Two songs at one place overlap whole: neither ends the other.
        walk_case{"same_position_twice", 200, {50, 50, 0}, {16, 54, 54}, {54, 200, 200}, walk_end::absent_slot, 0, 264},
        walk_case{"slot_3_beyond_end_stops_before_slot_4", 200, {50, 900, 100}, {16, 54}, {54, 200},
                  walk_end::past_the_end, 904, 140},
        // Positions are slot + 4 in 32-bit arithmetic: FFFFFFFC wraps to 0,
        // which marks an absent song; FFFFFFFD wraps to position 1, a song
        // whose head overlaps the container header and song 1's head, and
        // whose planned end (song 1 at 16) lies before its first event.
        walk_case{"slot_wrapping_to_zero_is_absent", 200, {0xFFFFFFFC, 50, 0}, {16}, {200}, walk_end::absent_slot, 0,
                  162},
        walk_case{"slot_wrapping_to_one", 200, {0xFFFFFFFD, 0, 0}, {16, 1}, {200, 16}, walk_end::absent_slot, 0, 162},
        walk_case{"slot_near_4_gib", 200, {0xFFFFFFF0, 0, 0}, {16}, {200}, walk_end::past_the_end, 0xFFFFFFF4, 162}),
    [](const testing::TestParamInfo<walk_case>& info) { return std::string(info.param.name); });

TEST(container_walk, short_file_reads_no_slots) {
    // 12 bytes: slots 2 and part of 3 would be present but the header is
    // incomplete, and song 1 lies past the end anyway.
    bytes image(12, 0xFF);
    EXPECT_EQ(tolvarin::plan_container(image).count, 0u);
}

// The bound on an output: the head and 1.5 bytes per byte from the track's
// first event to the end of the image, rounded down.
TEST(container_walk, output_size_bound) {
    bytes image(201, 0x00);
    test_support::put_u32_le(image, 4, 50);
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    EXPECT_EQ(tolvarin::output_size_bound(plan, 0, image.size()), 22u + 163u + 81u);  // 163 bytes from 38
    EXPECT_EQ(tolvarin::output_size_bound(plan, 1, image.size()), 22u + 125u + 62u);  // 125 bytes from 76
    EXPECT_EQ(tolvarin::output_size_bound(plan, 2, image.size()), 0u);
}

TEST(track_length, is_big_endian) {
    const auto small = tolvarin::encode_track_length(0x0C);
    EXPECT_EQ(test_support::hex_string(bytes(small.begin(), small.end())), "00 00 00 0C");
    const auto wide = tolvarin::encode_track_length(0x01020304);
    EXPECT_EQ(test_support::hex_string(bytes(wide.begin(), wide.end())), "01 02 03 04");
}

}  // namespace
