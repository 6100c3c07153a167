// Compact stream in, exact track bytes out. Every expected output here was
// worked out by hand from the format's rules.
#include <gtest/gtest.h>

#include <ostream>

#include <random>
#include <string>

#include "bytes.hpp"
#include "format/container.hpp"
#include "format/event_stream.hpp"
#include "fast/fast_step.hpp"
#include "model.hpp"

namespace {

using test_support::bytes;
using test_support::hex;

const std::string end_of_track = " 00 FF 2F 00";

struct stream_case {
    const char* name;
    std::string stream;    // compact events behind the header block
    std::string expected;  // track data written
};

// Names the case in test listings instead of dumping its bytes.
std::ostream& operator<<(std::ostream& out, const stream_case& c) { return out << c.name; }

// The image puts the stream behind a container header and a header block, so
// the first event sits at offset 38, as in a real container.
bytes image_with_stream(const bytes& stream, const bytes& tail = {}) {
    return test_support::concat({bytes(16, 0), test_support::header_block(), stream, tail});
}

constexpr std::uint32_t first_event = 38;

// Room sizes: the least the translation accepts, a size just over what the
// fast path's wide steps need (so it alternates paths as the room runs low),
// and plenty.
const std::size_t rooms[] = {tolvarin::max_step_output, tolvarin::fast::output_margin + 7, 1 << 16};

// Bytes behind a stream that let the wide steps, which read ahead, take every
// one of its events.
const test_support::bytes junk(tolvarin::fast::input_margin + 48, 0x5A);

std::string repeated(const char* cell, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += cell;
    return s;
}

class terminated_stream : public testing::TestWithParam<stream_case> {};

// Streams that end with an end-of-track event. Bytes behind it must never be
// written, so each runs once at the very end of the image and once with junk
// behind it (which also lets the wide-read path handle the whole stream).
TEST_P(terminated_stream, translates_byte_for_byte) {
    const stream_case& c = GetParam();
    const bytes stream = hex(c.stream);
    const bytes expected = hex(c.expected);
    for (const bytes& tail : {bytes{}, junk}) {
        const bytes image = image_with_stream(stream, tail);
        for (const std::size_t room : rooms) {
            for (const auto& t : test_support::translate_all(image, first_event, room)) {
                EXPECT_EQ(test_support::hex_string(t.output), test_support::hex_string(expected))
                    << t.path << ", tail " << tail.size() << ", room " << room;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    events, terminated_stream,
    testing::Values(
        stream_case{"note_off_gains_pad", "00 80 3C" + end_of_track, "00 80 3C 00" + end_of_track},
        stream_case{"running_note_off_gains_pad", "00 80 3C 05 3E" + end_of_track,
                    "00 80 3C 00 05 3E 00" + end_of_track},
        stream_case{"pitch_bend_gains_pad", "00 E0 40" + end_of_track, "00 E0 40 00" + end_of_track},
        stream_case{"running_pitch_bend_gains_pad", "00 EF 40 05 41" + end_of_track,
                    "00 EF 40 00 05 41 00" + end_of_track},
        stream_case{"running_note_on_stays_running", "00 90 3C 40 0A 3E 40" + end_of_track,
                    "00 90 3C 40 0A 3E 40" + end_of_track},
        stream_case{"key_pressure_and_controller", "00 A1 3C 10 00 B2 07 64 01 08 09" + end_of_track,
                    "00 A1 3C 10 00 B2 07 64 01 08 09" + end_of_track},
        stream_case{"program_and_channel_pressure", "00 C5 07 10 D5 20" + end_of_track,
                    "00 C5 07 10 D5 20" + end_of_track},
        stream_case{"two_byte_delta", "00 90 3C 40 83 60 3E 40" + end_of_track,
                    "00 90 3C 40 83 60 3E 40" + end_of_track},
        stream_case{"three_byte_delta", "00 90 3C 40 81 80 00 3E 40" + end_of_track,
                    "00 90 3C 40 81 80 00 3E 40" + end_of_track},
        stream_case{"eleven_byte_delta_then_running_note_off",
                    "00 80 3C 81 81 81 81 81 81 81 81 81 81 00 3E" + end_of_track,
                    "00 80 3C 00 81 81 81 81 81 81 81 81 81 81 00 3E 00" + end_of_track},
        stream_case{"text_events", "00 FF 03 02 41 42 00 FF 01 00" + end_of_track,
                    "00 FF 03 02 41 42 00 FF 01 00" + end_of_track},
        stream_case{"tempo", "00 FF 51 03 07 A1 20" + end_of_track, "00 FF 51 03 07 A1 20" + end_of_track},
        // 0x51 always takes four bytes; its length byte is not looked at.
        stream_case{"tempo_length_not_examined", "00 FF 51 00 07 A1 20" + end_of_track,
                    "00 FF 51 00 07 A1 20" + end_of_track},
        stream_case{"other_length_prefixed_types",
                    "00 FF 20 01 02 00 FF 21 01 03 00 FF 54 05 01 02 03 04 05 00 FF 58 04 04 02 18 08"
                    " 00 FF 59 02 FE 00 00 FF 7F 03 41 42 43 00 FF 07 00" + end_of_track,
                    "00 FF 20 01 02 00 FF 21 01 03 00 FF 54 05 01 02 03 04 05 00 FF 58 04 04 02 18 08"
                    " 00 FF 59 02 FE 00 00 FF 7F 03 41 42 43 00 FF 07 00" + end_of_track},
        // A length byte of 0x80 or more is a plain count in the stream; in the
        // track it becomes a two-byte variable-length quantity (0x81 = 1 * 128 + 1).
        stream_case{"length_byte_above_7f", "00 FF 01 81" + repeated(" 61", 0x81) + " 05 80 3C" + end_of_track,
                    "00 FF 01 81 01" + repeated(" 61", 0x81) + " 05 80 3C 00" + end_of_track},
        stream_case{"sequencer_specific_of_255_bytes", "00 90 3C 40 00 FF 7F FF" + repeated(" 7E", 255) + " 05 3E 40" +
                                                           end_of_track,
                    "00 90 3C 40 00 FF 7F 81 7F" + repeated(" 7E", 255) + " 05 3E 40" + end_of_track},
        stream_case{"f3_length_prefixed_of_128_bytes", "00 F3 58 80" + repeated(" 01", 128) + end_of_track,
                    "00 F3 58 81 00" + repeated(" 01", 128) + end_of_track},
        // The tempo's length byte is not a length: it stays as it is.
        stream_case{"tempo_length_byte_above_7f_unchanged", "00 FF 51 83 07 A1 20" + end_of_track,
                    "00 FF 51 83 07 A1 20" + end_of_track},
        stream_case{"end_of_track_stops_the_track", "00 FF 2F 00 11 22 33", "00 FF 2F 00"},
        stream_case{"type_outside_table", "00 90 3C 40 00 FF 0A 02 41 42" + end_of_track,
                    "00 90 3C 40 00 FF 0A 02 41 42" + end_of_track},
        // The bytes behind an unknown type are read as a delta time and a running
        // note off here, which the pad makes visible.
        stream_case{"unknown_type_bytes_read_as_next_event", "00 80 3C 00 FF 0A 02 41" + end_of_track,
                    "00 80 3C 00 00 FF 0A 02 41 00" + end_of_track},
        stream_case{"type_08_is_bare", "00 80 3C 00 FF 08 03 41" + end_of_track,
                    "00 80 3C 00 00 FF 08 03 41 00" + end_of_track},
        stream_case{"type_above_7f", "00 FF 90" + end_of_track, "00 FF 90" + end_of_track},
        stream_case{"f0_end_of_track", "00 F0 2F 00 11 22", "00 F0 2F 00"},
        stream_case{"f7_end_of_track", "00 F7 2F 00 11 22", "00 F7 2F 00"},
        stream_case{"f0_as_length_prefixed", "00 F0 05 03 7F 09 01" + end_of_track,
                    "00 F0 05 03 7F 09 01" + end_of_track},
        stream_case{"meta_keeps_running_status", "00 90 3C 40 00 FF 01 00 00 3E 40" + end_of_track,
                    "00 90 3C 40 00 FF 01 00 00 3E 40" + end_of_track},
        stream_case{"meta_keeps_running_note_off", "00 80 3C 00 FF 01 00 05 3E" + end_of_track,
                    "00 80 3C 00 00 FF 01 00 05 3E 00" + end_of_track},
        stream_case{"realtime_keeps_running_note_off", "00 80 3C 00 F8 01 00 05 3E" + end_of_track,
                    "00 80 3C 00 00 F8 01 00 05 3E 00" + end_of_track},
        // F1-F7 cancel the running status: 05 and 3E are then delta times and
        // no pad appears.
        stream_case{"system_common_clears_running_status", "00 80 3C 00 F1 01 00 05 3E" + end_of_track,
                    "00 80 3C 00 00 F1 01 00 05 3E" + end_of_track},
        stream_case{"f7_clears_running_status", "00 80 3C 00 F7 01 00 05 3E" + end_of_track,
                    "00 80 3C 00 00 F7 01 00 05 3E" + end_of_track},
        stream_case{"data_without_running_status_is_a_delta", "00 3C 40" + end_of_track,
                    "00 3C 40" + end_of_track},
        stream_case{"opening_offer_copies_leading_meta", "FF 03 00" + end_of_track, "FF 03 00" + end_of_track},
        stream_case{"opening_offer_sets_no_running_status", "90 3C 40 05 3E 40" + end_of_track,
                    "90 3C 40 05 3E 40" + end_of_track},
        stream_case{"opening_offer_takes_multibyte_delta_as_note_off", "83 60 90 3C 40" + end_of_track,
                    "83 60 00 90 3C 40" + end_of_track},
        // The offer's result is not consulted: an end of track there does not stop the track.
        stream_case{"opening_offer_end_of_track_not_consulted", "FF 2F 00 00 C0 05" + end_of_track,
                    "FF 2F 00 00 C0 05" + end_of_track}),
    [](const testing::TestParamInfo<stream_case>& info) { return std::string(info.param.name); });

class cut_short_stream : public testing::TestWithParam<stream_case> {};

// Streams that run into the end of the image: the track ends at the first byte
// that is missing, and no pad is written for a data byte that was not there.
TEST_P(cut_short_stream, stops_at_end_of_image) {
    const stream_case& c = GetParam();
    const bytes image = image_with_stream(hex(c.stream));
    for (const std::size_t room : rooms) {
        for (const auto& t : test_support::translate_all(image, first_event, room)) {
            EXPECT_EQ(test_support::hex_string(t.output), test_support::hex_string(hex(c.expected)))
                << t.path << ", room " << room;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    events, cut_short_stream,
    testing::Values(stream_case{"empty", "", ""}, stream_case{"delta_only", "00", "00"},
                    stream_case{"unfinished_delta", "00 90 3C 40 81", "00 90 3C 40 81"},
                    stream_case{"note_off_without_data", "00 80", "00 80"},
                    stream_case{"note_off_with_data", "00 80 3C", "00 80 3C 00"},
                    stream_case{"running_note_off_without_data", "00 80 3C 05", "00 80 3C 00 05"},
                    stream_case{"pitch_bend_without_data", "00 E0", "00 E0"},
                    stream_case{"note_on_one_data_byte", "00 90 3C", "00 90 3C"},
                    stream_case{"meta_without_type", "00 FF", "00 FF"},
                    stream_case{"meta_without_length", "00 FF 03", "00 FF 03"},
                    stream_case{"meta_short_text", "00 FF 03 05 41 42", "00 FF 03 05 41 42"},
                    stream_case{"end_of_track_without_length", "00 FF 2F", "00 FF 2F"},
                    stream_case{"tempo_short", "00 FF 51 03 07", "00 FF 51 03 07"},
                    // Long enough for the wide-read path, which must hand the cut
                    // event over rather than read past the end.
                    stream_case{"long_text_cut", "00 90 3C 40 00 FF 01 40" + repeated(" 61", 20),
                                "00 90 3C 40 00 FF 01 40" + repeated(" 61", 20)},
                    stream_case{"long_stream_without_end_of_track", repeated(" 00 80 3C", 12),
                                repeated(" 00 80 3C 00", 12)},
                    stream_case{"offer_note_off_without_data", "80", "80"},
                    stream_case{"offer_note_on_cut", "90 3C", "90 3C"},
                    stream_case{"offer_meta_cut", "FF 03 02 41", "FF 03 02 41"},
                    // A long event cut short keeps its whole two-byte length.
                    stream_case{"long_text_cut_after_its_length", "00 FF 01 90", "00 FF 01 81 10"},
                    stream_case{"long_text_cut_inside", "00 FF 05 FF 41 42", "00 FF 05 81 7F 41 42"},
                    stream_case{"offer_long_text_cut", "FF 02 80 41", "FF 02 81 00 41"}),
    [](const testing::TestParamInfo<stream_case>& info) { return std::string(info.param.name); });

// Status handling that both translation paths must agree on. Each stream is
// run twice: followed by an end of track and junk, so that the wide-read
// paths take its events, and alone at the very end of the
// image, where the last events fall to the byte-at-a-time steps (no wide read
// may start within the last bytes of the image).
class status_in_both_paths : public testing::TestWithParam<stream_case> {};

TEST_P(status_in_both_paths, gives_the_same_bytes) {
    const stream_case& c = GetParam();
    const bytes stream = hex(c.stream);
    const bytes expected = hex(c.expected);
    const bytes eot = hex(end_of_track);
    const bytes wide = image_with_stream(test_support::concat({stream, eot}), junk);
    const bytes at_end = image_with_stream(stream);
    for (const std::size_t room : rooms) {
        for (const auto& t : test_support::translate_all(wide, first_event, room)) {
            EXPECT_EQ(test_support::hex_string(t.output), test_support::hex_string(test_support::concat({expected, eot})))
                << t.path << ", followed by more, room " << room;
        }
        for (const auto& t : test_support::translate_all(at_end, first_event, room)) {
            EXPECT_EQ(test_support::hex_string(t.output), test_support::hex_string(expected))
                << t.path << ", at the end of the image, room " << room;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    events, status_in_both_paths,
    testing::Values(
        // F8-FF leave the running status as it was: the running note off or
        // pitch bend behind them still gains its pad.
        stream_case{"f8_keeps_running_note_off", "00 80 3C 00 F8 01 00 05 3E", "00 80 3C 00 00 F8 01 00 05 3E 00"},
        stream_case{"fe_bare_keeps_running_pitch_bend", "00 E0 40 00 FE 7A 05 41",
                    "00 E0 40 00 00 FE 7A 05 41 00"},
        stream_case{"ff_keeps_running_note_off", "00 80 3C 00 FF 01 00 05 3E", "00 80 3C 00 00 FF 01 00 05 3E 00"},
        stream_case{"ff_keeps_running_program_change", "00 C1 05 00 FF 7A 05 06",
                    "00 C1 05 00 FF 7A 05 06"},
        // F0-F7 cancel it: the bytes behind are delta times, no pad appears.
        stream_case{"f0_clears_running_note_off", "00 80 3C 00 F0 7A 05 3E", "00 80 3C 00 00 F0 7A 05 3E"},
        stream_case{"f1_clears_running_note_off", "00 80 3C 00 F1 01 00 05 3E", "00 80 3C 00 00 F1 01 00 05 3E"},
        stream_case{"f7_clears_running_pitch_bend", "00 E0 40 00 F7 7A 05 41", "00 E0 40 00 00 F7 7A 05 41"},
        // A tempo takes exactly four bytes after its type, whatever its length
        // byte says: the 3E behind it is a delta time, and 05 a running note
        // off's data byte, which gains its pad.
        stream_case{"tempo_takes_four_bytes", "00 80 3C 00 FF 51 03 07 A1 20 3E 05",
                    "00 80 3C 00 00 FF 51 03 07 A1 20 3E 05 00"},
        stream_case{"tempo_with_length_byte_zero", "00 80 3C 00 FF 51 00 07 A1 20 3E 05",
                    "00 80 3C 00 00 FF 51 00 07 A1 20 3E 05 00"}),
    [](const testing::TestParamInfo<stream_case>& info) { return std::string(info.param.name); });

// copy_event on its own: one event, the bytes it writes and how far it reads.
// The input is followed by 99 99 ..., which must never be copied.
struct event_case {
    const char* name;
    std::uint8_t status;
    bool explicit_status;
    std::string input;
    std::string written;
    std::uint32_t consumed;
    tolvarin::event_result result;
};

std::ostream& operator<<(std::ostream& out, const event_case& c) { return out << c.name; }

class copy_event_alone : public testing::TestWithParam<event_case> {};

TEST_P(copy_event_alone, writes_and_consumes_exactly_its_bytes) {
    const event_case& c = GetParam();
    const bytes image = test_support::concat({hex(c.input), bytes(8, 0x99)});
    bytes out(tolvarin::max_step_output, 0xEE);
    std::uint8_t* cursor = out.data();
    std::uint32_t position = 0;
    EXPECT_EQ(tolvarin::copy_event(c.status, c.explicit_status, image, position, cursor), c.result);
    EXPECT_EQ(position, c.consumed);
    EXPECT_EQ(test_support::hex_string(bytes(out.data(), cursor)), test_support::hex_string(hex(c.written)));
}

using tolvarin::event_result;
INSTANTIATE_TEST_SUITE_P(
    events, copy_event_alone,
    testing::Values(
        event_case{"no_status_copies_nothing", 0x00, false, "3C 40", "", 0, event_result::next_event},
        event_case{"explicit_note_off", 0x80, true, "80 3C", "80 3C 00", 2, event_result::next_event},
        event_case{"running_note_off", 0x8F, false, "3C", "3C 00", 1, event_result::next_event},
        event_case{"running_pitch_bend", 0xE3, false, "40", "40 00", 1, event_result::next_event},
        event_case{"explicit_note_on", 0x90, true, "90 3C 40", "90 3C 40", 3, event_result::next_event},
        event_case{"running_controller", 0xB0, false, "07 64", "07 64", 2, event_result::next_event},
        event_case{"running_key_pressure", 0xA0, false, "3C 10", "3C 10", 2, event_result::next_event},
        event_case{"explicit_program", 0xC0, true, "C0 05", "C0 05", 2, event_result::next_event},
        event_case{"running_channel_pressure", 0xD0, false, "20", "20", 1, event_result::next_event},
        event_case{"tempo_four_bytes", 0xFF, true, "FF 51 03 07 A1 20", "FF 51 03 07 A1 20", 6,
                   event_result::next_event},
        event_case{"tempo_length_ignored", 0xFF, true, "FF 51 7F 07 A1 20", "FF 51 7F 07 A1 20", 6,
                   event_result::next_event},
        event_case{"text_by_length", 0xFF, true, "FF 01 02 41 42", "FF 01 02 41 42", 5, event_result::next_event},
        event_case{"text_length_zero", 0xFF, true, "FF 7F 00", "FF 7F 00", 3, event_result::next_event},
        event_case{"text_length_127", 0xFF, true, "FF 01 7F" + repeated(" 41", 127), "FF 01 7F" + repeated(" 41", 127),
                   130, event_result::next_event},
        event_case{"text_length_128", 0xFF, true, "FF 01 80" + repeated(" 41", 128),
                   "FF 01 81 00" + repeated(" 41", 128), 131, event_result::next_event},
        event_case{"text_length_255", 0xF0, true, "F0 7F FF" + repeated(" 42", 255),
                   "F0 7F 81 7F" + repeated(" 42", 255), 258, event_result::next_event},
        event_case{"end_of_track", 0xFF, true, "FF 2F 00", "FF 2F 00", 3, event_result::end_of_track},
        event_case{"f7_end_of_track", 0xF7, true, "F7 2F 00", "F7 2F 00", 3, event_result::end_of_track},
        event_case{"bare_type", 0xFF, true, "FF 0A", "FF 0A", 2, event_result::next_event},
        event_case{"type_above_7f", 0xF0, true, "F0 90", "F0 90", 2, event_result::next_event},
        // The status of a system event is copied even when not flagged explicit.
        event_case{"system_status_always_copied", 0xFF, false, "FF 01 00", "FF 01 00", 3,
                   event_result::next_event}),
    [](const testing::TestParamInfo<event_case>& info) { return std::string(info.param.name); });

// The length a meta event's bytes are counted by in the track: a
// variable-length quantity, one byte below 128, and from 128 on 0x81 and the
// length less 128 (the quantity 1 * 128 + rest).
bytes track_length_of(unsigned length) {
    if (length < 128) return {static_cast<std::uint8_t>(length)};
    return {0x81, static_cast<std::uint8_t>(length - 128)};
}

// Text events of every length a length byte can give, behind a one- and a
// two-byte delta time, between running note offs: copied whole whatever their
// length (short and long ones are copied in different ways), their length
// written as the track's variable-length quantity, and the running status
// kept across them, so the note off behind still gains its pad.
TEST(translate_track, text_events_of_every_length) {
    for (const char* delta : {"00", "81 00"}) {
        for (unsigned length = 0; length <= 255; ++length) {
            bytes text;
            for (unsigned i = 0; i < length; ++i) text.push_back(static_cast<std::uint8_t>(0x21 + i % 0x5E));
            const bytes head = test_support::concat({hex(delta), hex("FF 01")});
            const bytes stream = test_support::concat(
                {hex("00 80 3C"), head, bytes{static_cast<std::uint8_t>(length)}, text, hex("05 3E" + end_of_track)});
            const bytes expected = test_support::concat(
                {hex("00 80 3C 00"), head, track_length_of(length), text, hex("05 3E 00" + end_of_track)});
            for (const std::size_t room : rooms) {
                for (const auto& t : test_support::translate_all(image_with_stream(stream, junk), first_event, room)) {
                    ASSERT_EQ(test_support::hex_string(t.output), test_support::hex_string(expected))
                        << t.path << ", delta " << delta << ", length " << length << ", room " << room;
                }
            }
        }
    }
}

// A length-prefixed event whose last bytes are missing at the end of the
// image, placed behind enough running note ons for the wide-read path to
// reach it: the track must end where the bytes end, without reading or
// writing a byte more. No pads are involved, so the output is the stream as
// far as it goes, a length of 128 or more grown to two bytes. The sweep covers
// event lengths and cuts of 0 to 3 bytes at many positions, so it holds
// wherever the wide path's reach ends.
TEST(translate_track, length_prefixed_event_cut_at_the_end) {
    const char* const heads[] = {"FF 01", "FF 7F", "F0 05", "F7 59"};
    for (const char* head : heads) {
        for (int lead = 0; lead < 12; ++lead) {
            for (unsigned length : {0u, 1u, 2u, 5u, 6u, 7u, 8u, 9u, 13u, 31u, 64u, 200u, 255u}) {
                for (std::size_t cut = 0; cut <= 3 && cut <= length + 1; ++cut) {
                    const bytes before = hex(repeated("00 90 3C 40 ", lead) + "05 90 3C 40 00 " + head);
                    bytes text;
                    for (unsigned i = 0; i < length; ++i) text.push_back(static_cast<std::uint8_t>(0x20 + i % 0x50));
                    bytes stream = test_support::concat({before, bytes{static_cast<std::uint8_t>(length)}, text});
                    bytes expected = test_support::concat({before, track_length_of(length), text});
                    stream.erase(stream.end() - static_cast<std::ptrdiff_t>(cut), stream.end());
                    // A cut that takes the length byte takes the whole length.
                    const std::size_t length_bytes = track_length_of(length).size();
                    expected.erase(expected.end() - static_cast<std::ptrdiff_t>(cut > length ? length_bytes + length : cut),
                                   expected.end());
                    const bytes image = image_with_stream(stream);
                    for (const std::size_t room : rooms) {
                        for (const auto& t : test_support::translate_all(image, first_event, room)) {
                            ASSERT_EQ(test_support::hex_string(t.output), test_support::hex_string(expected))
                                << t.path << ", " << head << ", lead " << lead << ", length " << length << ", cut "
                                << cut << ", room " << room;
                        }
                    }
                }
            }
        }
    }
}

TEST(translate_track, track_without_end_runs_into_following_bytes) {
    // The second record's header block and events are read as part of the first track.
    const bytes first = test_support::concat({test_support::header_block(), hex("00 90 3C 40")});
    const bytes second = test_support::concat({test_support::header_block(), hex("00 80 3C 00 FF 2F 00")});
    const bytes image = test_support::container_of({first, second});
    // The running note on (90) takes the header block's bytes in delta/data
    // triples; DE AD BE EF then continue a delta time that the second stream's
    // 00 ends, and its note off gains its pad.
    const bytes expected = test_support::concat(
        {hex("00 90 3C 40"), test_support::header_block(), hex("00 80 3C 00 00 FF 2F 00")});
    for (const auto& t : test_support::translate_all(image, first_event, 1 << 16)) {
        EXPECT_EQ(test_support::hex_string(t.output), test_support::hex_string(expected)) << t.path;
    }
}

TEST(translate_track, refuses_room_below_one_step) {
    const bytes image = image_with_stream(hex("00 FF 2F 00"));
    tolvarin::track_state state = tolvarin::start_track(first_event);
    bytes block(tolvarin::max_step_output - 1);
    EXPECT_EQ(tolvarin::translate_track(image, state, block), 0u);
    EXPECT_FALSE(state.finished);
}

// Random streams, both well-formed-looking and arbitrary bytes, against the
// one-byte-at-a-time reference: this is what exercises the fast path's
// boundaries (long delta times, cut events, running status across blocks).
TEST(translate_track, agrees_with_reference_on_random_streams) {
    std::mt19937 rng(20261208);
    const bytes pieces[] = {hex("00"), hex("81 00"), hex("83 82 81 80 00"), hex("90 3C 40"), hex("3C 40"),
                            hex("80 3C"), hex("3C"), hex("E0 40"), hex("C3 05"), hex("D0 22"),
                            hex("FF 01 03 41 42 43"), hex("FF 51 03 07 A1 20"), hex("F0 05 01 02"),
                            hex("F8 20 00"), hex("FF 2F 00"), hex("FF 7F 00"),
                            hex("FF 05 1D" + repeated(" 41", 0x1D)), hex("FF 05 1C" + repeated(" 41", 0x1C)),
                            hex("81 81 81 81 81 81 81 81 81 00")};
    for (int round = 0; round < 3000; ++round) {
        bytes stream;
        // Mostly short streams; some long enough to fill many blocks of room.
        const int length = static_cast<int>(round % 10 == 0 ? rng() % 5000 : rng() % 200);
        const bool arbitrary = round % 3 == 0;
        while (static_cast<int>(stream.size()) < length) {
            if (arbitrary) {
                stream.push_back(static_cast<std::uint8_t>(rng()));
            } else {
                const bytes& piece = pieces[rng() % std::size(pieces)];
                if (piece == hex("FF 2F 00") && rng() % 4 != 0) continue;
                stream.insert(stream.end(), piece.begin(), piece.end());
            }
        }
        const bytes image = image_with_stream(stream);
        const bytes expected = test_support::reference_translate(image, first_event);
        // Every room size near the minimum, where the fast path's limits bite.
        const std::size_t room = round % 4 == 0 ? rooms[static_cast<std::size_t>(round / 4) % std::size(rooms)]
                                                : tolvarin::max_step_output + rng() % 64;
        for (const auto& t : test_support::translate_all(image, first_event, room)) {
            ASSERT_EQ(test_support::hex_string(t.output), test_support::hex_string(expected))
                << t.path << ", stream " << test_support::hex_string(stream) << ", room " << room;
        }
    }
}

// A track much larger than one block of room, built from events whose output
// is known: note offs gain a pad each.
TEST(translate_track, long_track_across_many_blocks) {
    bytes stream;
    bytes expected;
    for (int i = 0; i < 50000; ++i) {
        const bytes in = (i % 2 == 0) ? hex("00 80 3C") : hex("81 05 3E");
        stream.insert(stream.end(), in.begin(), in.end());
        expected.insert(expected.end(), in.begin(), in.end());
        expected.push_back(0x00);
    }
    const bytes eot = hex("00 FF 2F 00");
    stream.insert(stream.end(), eot.begin(), eot.end());
    expected.insert(expected.end(), eot.begin(), eot.end());
    for (const auto& t : test_support::translate_all(image_with_stream(stream), first_event, 4096)) {
        EXPECT_TRUE(t.output == expected) << t.path;
    }
}

}  // namespace
