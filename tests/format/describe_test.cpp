// What describe_song tells of a track: how it ended, its whole events, the
// meta types outside the table, its first text event, and whether it ran on
// into another song. Every expectation is counted by hand from the stream.
#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "tolvarin/tolvarin.hpp"

namespace {

using test_support::bytes;
using test_support::hex;
using tolvarin::track_ending;

struct description_case {
    const char* name;
    std::vector<std::string> streams;  // one song each, behind its head
    std::uint32_t song;                // the one described
    track_ending ending;
    std::uint64_t events;
    std::set<unsigned> unknown_types;
    int text_type;              // 0: none
    std::uint32_t text_offset;  // from the song's first event
    std::uint32_t text_length;
    bool ran_past;
    std::uint32_t end_offset;  // where the walk stopped, from the song's first event
};

std::ostream& operator<<(std::ostream& out, const description_case& c) { return out << c.name; }

class describe_song : public testing::TestWithParam<description_case> {};

TEST_P(describe_song, tells_what_the_track_holds) {
    const description_case& c = GetParam();
    std::vector<bytes> records;
    for (const std::string& stream : c.streams) records.push_back(test_support::concat({test_support::header_block(), hex(stream)}));
    const bytes image = test_support::container_of(records);
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    ASSERT_EQ(plan.count, c.streams.size());
    const std::uint32_t first = plan.songs[c.song].first_event;
    const tolvarin::song_description d = tolvarin::describe_song(image, plan, c.song);
    EXPECT_EQ(d.ending, c.ending);
    EXPECT_EQ(d.events, c.events);
    std::set<unsigned> unknown;
    for (unsigned type = 0; type < 256; ++type) {
        if ((d.unknown_meta_types[type / 64] >> (type % 64)) & 1) unknown.insert(type);
    }
    EXPECT_EQ(unknown, c.unknown_types);
    EXPECT_EQ(d.has_text, c.text_type != 0);
    if (c.text_type != 0) {
        EXPECT_EQ(d.text_type, c.text_type);
        EXPECT_EQ(d.text_position, first + c.text_offset);
        EXPECT_EQ(d.text_length, c.text_length);
    }
    EXPECT_EQ(d.ran_past_next_song, c.ran_past);
    EXPECT_EQ(d.end_position, first + c.end_offset);
}

INSTANTIATE_TEST_SUITE_P(
    tracks, describe_song,
    testing::Values(
        description_case{"end_of_track_with_bytes_behind", {"00 90 3C 40 00 FF 2F 00 11 22"}, 0,
                         track_ending::end_of_track, 2, {}, 0, 0, 0, false, 8},
        description_case{"image_ends_behind_a_whole_event", {"00 90 3C 40 05 3E 40"}, 0, track_ending::end_of_image, 2,
                         {}, 0, 0, 0, false, 7},
        description_case{"empty_track", {""}, 0, track_ending::end_of_image, 0, {}, 0, 0, 0, false, 0},
        // The text event lacks four of its five bytes: not a whole event, but
        // its first text as far as the image holds it.
        description_case{"cut_inside_an_event", {"00 90 3C 40 00 FF 01 05 41"}, 0, track_ending::cut_short, 1, {}, 1, 8,
                         1, false, 9},
        description_case{"cut_inside_a_delta_time", {"00 90 3C 40 81"}, 0, track_ending::cut_short, 1, {}, 0, 0, 0,
                         false, 5},
        // 80 is the smallest byte that carries a delta time on.
        description_case{"cut_inside_a_delta_time_at_80", {"00 90 3C 40 80"}, 0, track_ending::cut_short, 1, {}, 0, 0,
                         0, false, 5},
        description_case{"delta_time_without_its_event", {"00 90 3C 40 05"}, 0, track_ending::cut_short, 1, {}, 0, 0, 0,
                         false, 5},
        // Running note offs are events too; the status-less data bytes of a
        // track with no running status are delta times, not events.
        description_case{"running_events", {"00 80 3C 05 3E 05 40 00 FF 2F 00"}, 0, track_ending::end_of_track, 4, {}, 0,
                         0, 0, false, 11},
        description_case{"data_bytes_without_status", {"00 3C 40 00 FF 2F 00"}, 0, track_ending::end_of_track, 1, {}, 0,
                         0, 0, false, 7},
        description_case{"opening_offer_writes_a_text", {"FF 03 02 41 42 00 FF 2F 00"}, 0, track_ending::end_of_track,
                         2, {}, 3, 3, 2, false, 9},
        // Types outside the table are written as status and type alone; the
        // bytes behind them start the next delta time.
        description_case{"unknown_meta_types", {"00 FF 0A 00 F0 90 00 FF 7E 00 FF 2F 00"}, 0,
                         track_ending::end_of_track, 4, {0x0A, 0x90, 0x7E}, 0, 0, 0, false, 13},
        // 7F (sequencer-specific) is no text; the first text is the marker.
        description_case{"first_text_event", {"00 FF 7F 01 41 00 FF 06 03 61 62 63 00 FF 01 01 7A 00 FF 2F 00"}, 0,
                         track_ending::end_of_track, 4, {}, 6, 9, 3, false, 21},
        // 07 (cue point) is the last of the text types; 08 is outside the table.
        description_case{"cue_point_is_a_text", {"00 FF 08 00 FF 07 02 41 42 00 FF 2F 00"}, 0,
                         track_ending::end_of_track, 3, {0x08}, 7, 7, 2, false, 13},
        // Song 1 has no end of track: it runs through song 2's head (running
        // note ons take its bytes in threes, then DE AD BE EF and song 2's 00
        // make one delta time) and ends at song 2's end of track.
        description_case{"ran_into_the_next_song", {"00 90 3C 40", "00 80 3C 00 FF 2F 00"}, 0,
                         track_ending::end_of_track, 9, {}, 0, 0, 0, true, 4 + 22 + 7},
        description_case{"the_song_it_ran_into", {"00 90 3C 40", "00 80 3C 00 FF 2F 00"}, 1, track_ending::end_of_track,
                         2, {}, 0, 0, 0, false, 7}),
    [](const testing::TestParamInfo<description_case>& info) { return std::string(info.param.name); });

TEST(describe_song, a_song_outside_the_plan_is_described_empty) {
    const bytes image = test_support::container_of({test_support::concat({test_support::header_block(), hex("00 FF 2F 00")})});
    const tolvarin::song_description d = tolvarin::describe_song(image, tolvarin::plan_container(image), 1);
    EXPECT_EQ(d.ending, track_ending::no_such_song);
    EXPECT_EQ(d.events, 0u);
    EXPECT_EQ(d.end_position, 0u);
}

}  // namespace
