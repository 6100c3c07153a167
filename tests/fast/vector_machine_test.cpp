// The state machine the vector path runs, and the vector path itself, held
// to the byte-at-a-time translation. The vector path takes whole stretches
// of 4 KiB, so these streams are long: events are placed so that what the
// machine cannot take (an end of track, a length of 128 or more) and what
// carries state across (a delta time, a text, a running status) fall at
// every offset of a unit (32 bytes) and of a stretch.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "bytes.hpp"
#include "fast/state_machine.hpp"
#include "fast/vector_machine.hpp"
#include "model.hpp"

namespace {

using test_support::bytes;
using test_support::hex;
using tolvarin::machine::machine_state;
using tolvarin::machine::machine_step;

bytes image_of(const bytes& stream) { return test_support::concat({bytes(16, 0), test_support::header_block(), stream}); }

constexpr std::uint32_t first_event = 38;

// Pieces of streams; the last two make the machine escape.
const bytes pieces[] = {hex("00 90 3C 40"), hex("3C 40"), hex("05 80 3C"), hex("3C"), hex("81 80 00 E0 40"),
                        hex("00 C3 05"), hex("07"), hex("83 82 81 00 B0 07 64"), hex("00 FF 01 03 41 42 43"),
                        hex("00 FF 51 03 07 A1 20"), hex("00 F0 05 01 02"), hex("00 F7 03 00"), hex("00 FF 0A"),
                        hex("00 FE"), hex("00 FF 7F 00"), hex("00 D2 11"), hex("00 A1 3C 10"),
                        hex("00 FF 05 1F 61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70 71 72 73 74 75 76 77 78 79 7A 7B 7C 7D 7E 7F"),
                        hex("00 FF 2F 00"), hex("00 FF 03 85 41")};

// A stream of pieces, starting with a delta time (the machine starts where
// the opening offer leaves the track).
bytes random_stream(std::mt19937& rng, std::size_t size, bool escapes) {
    bytes stream = hex("00 C0 01");
    const std::size_t kinds = std::size(pieces) - (escapes ? 0 : 2);
    while (stream.size() < size) {
        const bytes& piece = pieces[rng() % kinds];
        if (escapes && piece == pieces[std::size(pieces) - 2] && rng() % 8 != 0) continue;
        if (piece.size() > 4 && piece[4] == 0x85) {
            // A text of 133 bytes: its length takes two bytes in the track.
            stream.insert(stream.end(), {0x00, 0xFF, 0x03, 0x85});
            for (int i = 0; i < 0x85; ++i) stream.push_back(static_cast<std::uint8_t>(0x30 + i % 40));
            continue;
        }
        stream.insert(stream.end(), piece.begin(), piece.end());
    }
    return stream;
}

// The machine one byte at a time, copying each byte and its pad, up to the
// first escape: everything before it is the translation's.
TEST(state_machine, gives_the_reference_bytes_up_to_an_escape) {
    std::mt19937 rng(20261209);
    for (int round = 0; round < 400; ++round) {
        const bytes stream = random_stream(rng, 50 + rng() % 3000, round % 2 == 0);
        const bytes image = image_of(stream);
        const bytes expected = test_support::reference_translate(image, first_event);
        bytes got;
        machine_state state{};
        bool escaped = false;
        for (std::size_t at = first_event; at < image.size() && !escaped; ++at) {
            const auto step = machine_step(state, image[at]);
            escaped = step.escape;
            if (escaped) break;
            got.push_back(image[at]);
            if (step.pad) got.push_back(0);
            state = step.next;
        }
        // Cut short at the end of the image, the reference may write less.
        const std::size_t compared = std::min(got.size(), expected.size());
        std::size_t differs = 0;
        while (differs < compared && got[differs] == expected[differs]) ++differs;
        ASSERT_EQ(differs, compared) << "round " << round << "\n got "
                                     << test_support::hex_string(bytes(got.begin() + static_cast<std::ptrdiff_t>(differs > 20 ? differs - 20 : 0), got.begin() + static_cast<std::ptrdiff_t>(std::min(compared, differs + 10))))
                                     << "\nwant "
                                     << test_support::hex_string(bytes(expected.begin() + static_cast<std::ptrdiff_t>(differs > 20 ? differs - 20 : 0), expected.begin() + static_cast<std::ptrdiff_t>(std::min(compared, differs + 10))));
        if (escaped) {
            ASSERT_GT(expected.size(), got.size()) << "round " << round;
        }
    }
}

// The table's entries for the states that need no count or class.
TEST(state_machine, channel_events_by_hand) {
    struct row {
        const char* stream;
        const char* track;
    };
    const row rows[] = {
        {"00 80 3C 05 3E", "00 80 3C 00 05 3E 00"},   // running note off: padded
        {"00 E0 40 81 00 41", "00 E0 40 00 81 00 41 00"},  // two-byte delta time, running pitch bend
        {"00 90 3C 40 05 3E 40", "00 90 3C 40 05 3E 40"},
        {"00 C0 05 07 06", "00 C0 05 07 06"},
        {"00 3C 40", "00 3C 40"},  // no running status: delta times
        {"00 FF 01 02 41 42 05 3C", "00 FF 01 02 41 42 05 3C"},
        {"00 90 3C 40 00 FF 51 03 07 A1 20 05 3E 40", "00 90 3C 40 00 FF 51 03 07 A1 20 05 3E 40"},
        {"00 80 3C 00 F1 0A 05 3E", "00 80 3C 00 00 F1 0A 05 3E"},  // F1 cancels the running status
        {"00 80 3C 00 F8 0A 05 3E", "00 80 3C 00 00 F8 0A 05 3E 00"},  // F8 keeps it
        {"00 FF 06 00 05 3C", "00 FF 06 00 05 3C"},  // a length of nothing
    };
    for (const row& r : rows) {
        const bytes stream = hex(r.stream);
        bytes got;
        machine_state state{};
        for (const std::uint8_t byte : stream) {
            const auto step = machine_step(state, byte);
            ASSERT_FALSE(step.escape) << r.stream;
            got.push_back(byte);
            if (step.pad) got.push_back(0);
            state = step.next;
        }
        EXPECT_EQ(test_support::hex_string(got), test_support::hex_string(hex(r.track))) << r.stream;
    }
}

// A unit worked out from its state alone ends where stepping through it
// ends, with the same pads; and it is worked out in every state a run of
// running events or a long meta event leaves.
TEST(state_machine, units_skipped_as_stepped) {
    using namespace tolvarin::machine;
    std::mt19937 rng(32);
    for (unsigned at = 0; at < state_count; ++at) {
        for (const std::uint8_t count : {0, 1, 2, 31, 32, 33, 34, 200, 255}) {
            for (const bool high : {false, true}) {
                bytes unit(unit_bytes);
                for (std::uint8_t& byte : unit) byte = static_cast<std::uint8_t>(rng() % 0x80);
                if (high) unit[rng() % unit_bytes] |= 0x80;
                const machine_state start{static_cast<std::uint8_t>(at), count, static_cast<std::uint8_t>(rng() % 4)};
                machine_state skipped = start;
                std::uint32_t pads = 0;
                const bool skips = skip_unit(skipped, high, pads);
                const bool counted_on = at == meta_counted && count > unit_bytes;
                const bool running = at != meta_type && at != meta_length && at != meta_counted;
                const std::string what = "state " + std::to_string(at) + ", count " + std::to_string(count) +
                                         (high ? ", a high byte" : "");
                EXPECT_EQ(skips, counted_on || (running && !high)) << what;
                if (!skips) continue;
                machine_state stepped = start;
                std::uint32_t stepped_pads = 0;
                for (unsigned i = 0; i < unit_bytes; ++i) {
                    const machine_step_result step = machine_step(stepped, unit[i]);
                    ASSERT_FALSE(step.escape) << what;
                    stepped_pads |= static_cast<std::uint32_t>(step.pad) << i;
                    stepped = step.next;
                }
                EXPECT_TRUE(skipped.same_as(stepped)) << what;
                EXPECT_EQ(pads, stepped_pads) << what;
            }
        }
    }
}

// Where a level is part of the architecture (NEON on 64-bit Arm), it must
// be there: were it not, the tables below would run no stretch level at all
// and pass.
TEST(stretch_levels, the_architectures_own_level_is_there) {
#if defined(__aarch64__)
    EXPECT_TRUE(tolvarin::machine::stretch_level_available(tolvarin::wide_level::shuffle));
    EXPECT_EQ(tolvarin::best_wide_level(), tolvarin::wide_level::shuffle);
#else
    GTEST_SKIP() << "this architecture's stretch levels depend on the processor";
#endif
}

class vector_path : public testing::Test {
protected:
    void SetUp() override {
        if (!tolvarin::machine::stretch_level_available(tolvarin::wide_level::shuffle) &&
            !tolvarin::machine::stretch_level_available(tolvarin::wide_level::vector)) {
            GTEST_SKIP() << "this processor has no level that takes stretches";
        }
    }
};

void expect_every_path(const bytes& stream, const std::string& what) {
    const bytes image = image_of(stream);
    const bytes expected = test_support::reference_translate(image, first_event);
    for (const auto& t : test_support::translate_vector_paths(image, first_event)) {
        if (t.output != expected) {
            std::size_t at = 0;
            while (at < t.output.size() && at < expected.size() && t.output[at] == expected[at]) ++at;
            ADD_FAILURE() << what << ": " << t.path << " differs at output byte " << at << " of " << expected.size();
            return;
        }
    }
}

// Escapes, texts and long delta times at every offset around unit and
// stretch boundaries, behind a stretch and a half of running note ons.
TEST_F(vector_path, events_at_every_offset) {
    // Whole events of 11 bytes: an explicit note on, a running one, a controller.
    const bytes notes = [] {
        bytes lead;
        for (int i = 0; i < 380; ++i) {
            lead.insert(lead.end(), {0x00, 0x91, 0x3C, 0x40, 0x03, 0x3C, 0x40, 0x00, 0xB1, 0x07, 0x64});
        }
        return lead;
    }();
    const bytes tail = [] {
        bytes rest;
        for (int i = 0; i < 800; ++i) rest.insert(rest.end(), {0x01, 0x80, 0x3C, 0x02, 0x90, 0x3E, 0x40});
        rest.insert(rest.end(), {0x00, 0xFF, 0x2F, 0x00});
        return rest;
    }();
    const struct {
        const char* name;
        bytes event;
    } events[] = {
        {"end of track", hex("00 FF 2F 00")},
        {"text of 200", test_support::concat({hex("00 FF 05 C8"), bytes(200, 0x61)})},
        {"text of 127", test_support::concat({hex("00 FF 05 7F"), bytes(127, 0x62)})},
        {"four-byte delta time", hex("81 82 83 00 C3 05")},
        {"eleven-byte delta time", hex("81 81 81 81 81 81 81 81 81 81 00 C3 05")},
        {"system common", hex("00 F2 01 02 00 3C")},
        {"tempo", hex("00 FF 51 03 07 A1 20")},
        {"bare type", hex("00 FF 0A 00 3C 40")},
        {"end of track by F0", hex("00 F0 2F 00")},
    };
    for (const auto& e : events) {
        for (std::size_t shift = 0; shift < 40; ++shift) {
            // The event starts `shift` bytes before the end of the first
            // stretch of the track, then 4096 - shift (of the same unit
            // offset) into a later one.
            const std::size_t at = 4096 - shift;
            bytes stream(notes.begin(), notes.begin() + static_cast<std::ptrdiff_t>(at));
            // Land on a boundary between the lead's groups of events.
            while (stream.size() % 11 != 0) stream.pop_back();
            stream.insert(stream.end(), e.event.begin(), e.event.end());
            stream.insert(stream.end(), tail.begin(), tail.end());
            expect_every_path(stream, std::string(e.name) + ", shift " + std::to_string(shift));
        }
    }
}

// Every byte value read as a meta type and as a status, behind a stretch
// of note ons, so that each meets the machine's lookups by category at
// some unit and lane: the shuffle level works a byte's category out from
// its nibbles, the vector level from a table.
TEST_F(vector_path, every_byte_as_a_type_and_a_status) {
    bytes stream;
    for (int i = 0; i < 1500; ++i) stream.insert(stream.end(), {0x00, 0x90, 0x3C, 0x40});
    for (unsigned value = 0; value < 256; ++value) {
        if (value == 0x2F) continue;  // an end of track, at the end
        const auto b = static_cast<std::uint8_t>(value);
        const bytes piece = test_support::concat(
            {hex("00 FF"), bytes{b}, hex("03 41 42 43 00 C0 05 00"), bytes{b}, hex("01 02 03 00 F1 00 00 90 3C 40")});
        stream.insert(stream.end(), piece.begin(), piece.end());
    }
    for (int i = 0; i < 1500; ++i) stream.insert(stream.end(), {0x00, 0x80, 0x3C});
    stream.insert(stream.end(), {0x00, 0xFF, 0x2F, 0x00});
    expect_every_path(stream, "every byte");
}

// Runs of running events longer than the passes reach, for each class and
// at each phase a unit can start in: nothing in them shows where an event
// starts, so the units are worked out from the true state alone. The runs
// follow a random mix (so that the guesses come in out of step) and end with
// an explicit status; the texts' counted bytes are longer than a unit.
TEST_F(vector_path, long_runs_of_each_class) {
    const struct {
        const char* name;
        bytes start;   // the event that sets the class
        bytes repeat;  // one running event
        std::size_t count;
    } runs[] = {
        {"note ons", hex("00 93 3C 40"), hex("05 3D 41"), 3000},
        {"note offs", hex("00 83 3C"), hex("05 3D"), 4500},
        {"pitch bends", hex("00 E3 40"), hex("00 41"), 4500},
        {"program changes", hex("00 C3 05"), hex("01 06"), 4500},
        {"no running status", hex("00 F0 01 02"), hex("01"), 9000},
        {"a text's bytes", hex("00 FF 01 7F"), hex("61"), 127},
    };
    std::mt19937 rng(1207);
    for (const auto& run : runs) {
        for (std::size_t lead = 4000; lead < 4000 + 3 * 32; lead += 7) {
            bytes stream = random_stream(rng, lead, false);
            stream.insert(stream.end(), run.start.begin(), run.start.end());
            for (std::size_t i = 0; i < run.count; ++i) stream.insert(stream.end(), run.repeat.begin(), run.repeat.end());
            const bytes rest = random_stream(rng, 6000, true);
            stream.insert(stream.end(), rest.begin(), rest.end());
            expect_every_path(stream, std::string(run.name) + " behind " + std::to_string(lead) + " bytes");
        }
    }
}

// Meta events of every length from nothing to 70 bytes one behind the
// other, so that their last bytes fall on every row of a unit and their
// counts carry into the next unit, some of their bytes 0x80 or more;
// tempos whose length byte is not 3; events begun by F0-F7 and by F8-FF,
// each under every running class. The AVX2 engine ends a meta event where
// a row is the row of its last byte, and keeps the class it returns to
// where its status byte is read.
TEST_F(vector_path, meta_events_ending_at_every_row) {
    const struct {
        const char* name;
        bytes start;    // sets the running class
        bytes running;  // one running event of it
    } classes[] = {
        {"note ons", hex("00 93 3C 40"), hex("01 3D 41")},
        {"note offs", hex("00 83 3C"), hex("01 3D")},
        {"program changes", hex("00 C3 05"), hex("01 06")},
        {"no running status", hex("00 F0 01 02"), hex("01")},
    };
    std::mt19937 rng(1210);
    for (const auto& c : classes) {
        bytes stream = random_stream(rng, 4500, false);
        for (unsigned length = 0; length <= 70; ++length) {
            stream.insert(stream.end(), c.start.begin(), c.start.end());
            stream.insert(stream.end(), {0x00, 0xFF, static_cast<std::uint8_t>(length % 2 == 0 ? 0x01 : 0x7F),
                                         static_cast<std::uint8_t>(length)});
            for (unsigned i = 0; i < length; ++i) {
                stream.push_back(static_cast<std::uint8_t>(i % 5 == 4 ? 0x80 + (i * 37) % 0x80 : 0x61 + i % 26));
            }
            stream.insert(stream.end(), c.running.begin(), c.running.end());
            stream.insert(stream.end(), {0x00, 0xFF, 0x51, static_cast<std::uint8_t>(length * 3 % 0x100), 0x07, 0xA1, 0x20});
            stream.insert(stream.end(), c.running.begin(), c.running.end());
            const std::uint8_t system = static_cast<std::uint8_t>(0xF0 + length % 16);
            stream.insert(stream.end(), {0x00, system, 0x0A});
            stream.insert(stream.end(), c.running.begin(), c.running.end());
            stream.insert(stream.end(), {0x00, system, 0x02, static_cast<std::uint8_t>(length % 3), 0x41, 0x42});
            stream.insert(stream.end(), c.running.begin(), c.running.end());
        }
        const bytes rest = random_stream(rng, 6000, true);
        stream.insert(stream.end(), rest.begin(), rest.end());
        expect_every_path(stream, std::string("meta events under ") + c.name);
    }
}

// Streams of mostly short events, as songs hold, and of dense meta events
// (texts of 4 to 43 bytes and tempos), which the event-by-event path copies
// whole: the stretches take the first to its end, and give up the second at
// its first stretches, saying so, so that the caller goes on event by event.
TEST_F(vector_path, stretches_given_up_where_the_guesses_fail) {
    std::mt19937 rng(1211);
    // A delta time of one byte, or now and then of two.
    const auto delta = [&](bytes& stream) {
        if (rng() % 5 == 0) stream.push_back(static_cast<std::uint8_t>(0x81 + rng() % 0x7F));
        stream.push_back(static_cast<std::uint8_t>(rng() % 0x80));
    };
    const auto text = [&](bytes& stream, unsigned shortest, unsigned longest) {
        const auto length = static_cast<std::uint8_t>(shortest + rng() % (longest - shortest + 1));
        delta(stream);
        stream.insert(stream.end(), {0xFF, static_cast<std::uint8_t>(rng() % 2 == 0 ? 0x05 : 0x01), length});
        for (unsigned i = 0; i < length; ++i) stream.push_back(static_cast<std::uint8_t>(0x61 + rng() % 26));
    };
    bytes songs = hex("00 C3 05");
    while (songs.size() < 60000) {
        const unsigned roll = rng() % 100;
        if (roll < 80) {
            const bytes events[] = {hex("00 93 3C 40"), hex("05 3D 41"), hex("81 10 83 3C"), hex("00 B3 07 64"),
                                    hex("02 B3 0A 20"), hex("00 E3 40"), hex("00 C3 05")};
            const bytes& event = events[rng() % std::size(events)];
            songs.insert(songs.end(), event.begin(), event.end());
        } else if (roll < 95) {
            songs.insert(songs.end(), {0x00, 0x93, static_cast<std::uint8_t>(rng() % 128), 0x40});
        } else if (roll < 98) {
            text(songs, 2, 31);
        } else {
            songs.insert(songs.end(), {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20});
        }
    }
    bytes meta;
    while (meta.size() < 60000) {
        if (rng() % 4 == 0) {
            delta(meta);
            meta.insert(meta.end(), {0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20});
        } else {
            text(meta, 4, 43);
        }
    }
    // Every event with its status, as a track written without running
    // status has them: the status can be read as the first byte of a
    // two-byte delta time and a data byte as a running event's, out of phase
    // for good, unless each unit's first guess takes the status for one.
    // Note offs and pitch bends, as in the benchmark; then events of one,
    // two and three data bytes on changing channels.
    bytes offs_bends;
    while (offs_bends.size() < 60000) {
        offs_bends.insert(offs_bends.end(), {static_cast<std::uint8_t>(rng() % 0x80),
                                             static_cast<std::uint8_t>(offs_bends.size() % 2 == 0 ? 0x83 : 0xE3),
                                             static_cast<std::uint8_t>(rng() % 0x80)});
    }
    bytes explicit_statuses;
    while (explicit_statuses.size() < 60000) {
        static constexpr std::uint8_t kinds[] = {0x90, 0x80, 0xB0, 0xE0, 0xC0, 0x90};
        const auto status = static_cast<std::uint8_t>(kinds[rng() % std::size(kinds)] | rng() % 16);
        explicit_statuses.insert(explicit_statuses.end(), {static_cast<std::uint8_t>(rng() % 0x80), status,
                                                           static_cast<std::uint8_t>(rng() % 0x80)});
        if ((status & 0xF0) == 0x90 || (status & 0xF0) == 0xB0) explicit_statuses.push_back(static_cast<std::uint8_t>(rng() % 0x80));
    }
    const struct {
        const char* name;
        const bytes& stream;
        bool poor;
    } cases[] = {{"short events", songs, false},
                 {"note offs and pitch bends, every status given", offs_bends, false},
                 {"every status given", explicit_statuses, false},
                 {"dense meta events", meta, true}};
    for (const auto& c : cases) {
        bytes stream = c.stream;
        stream.insert(stream.end(), {0x00, 0xFF, 0x2F, 0x00});
        const bytes image = image_of(stream);
        expect_every_path(stream, c.name);
        for (const auto& [level, name] : test_support::stretch_levels()) {
            if (!tolvarin::machine::stretch_level_available(level)) continue;
            tolvarin::event_cursor cursor{first_event, tolvarin::no_running, false};
            bytes out(image.size() * 2);
            bool poor = false;
            const std::size_t written = tolvarin::machine::translate_stretches(
                image, cursor, static_cast<std::uint32_t>(image.size()), out, poor, level);
            const std::string what = std::string(c.name) + " at the " + name + " level";
            EXPECT_EQ(poor, c.poor) << what;
            const bytes expected = test_support::reference_translate(image, first_event);
            ASSERT_LE(written, expected.size()) << what;
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written), expected.begin())) << what;
            if (c.poor) {
                // Given up at the first stretch, once its passes show how
                // many guesses are out of step, before its walk.
                EXPECT_LT(cursor.position, first_event + tolvarin::machine::stretch_bytes) << what;
            } else {
                // Taken to where the last stretch with its margin fits.
                EXPECT_GE(cursor.position + tolvarin::machine::stretch_bytes + tolvarin::machine::stretch_input_margin +
                              tolvarin::machine::stretch_bytes,
                          image.size())
                    << what;
            }
        }
    }
}

// Streams the guesses never fall into step with (running events of one
// class only, no byte of 0x80 or more), texts longer than a unit across
// stretch boundaries, and random mixes.
TEST_F(vector_path, hostile_and_random_streams) {
    std::mt19937 rng(1209);
    bytes running = hex("00 90 3C 40");
    for (int i = 0; i < 12000; ++i) running.insert(running.end(), {static_cast<std::uint8_t>(i % 128), 0x3C, 0x40});
    expect_every_path(running, "running note ons");
    bytes texts;
    for (int i = 0; i < 100; ++i) {
        texts.insert(texts.end(), {0x00, 0xFF, 0x01, static_cast<std::uint8_t>(100 + i)});
        for (int j = 0; j < 100 + i; ++j) texts.push_back(static_cast<std::uint8_t>(0x90 + j % 0x40));
        texts.insert(texts.end(), {0x00, 0x80, 0x3C});
    }
    expect_every_path(texts, "texts with status bytes inside");
    for (int round = 0; round < 100; ++round) {
        const bytes stream = random_stream(rng, 9000 + rng() % 20000, round % 3 != 0);
        expect_every_path(stream, "random round " + std::to_string(round));
        if (HasFailure()) return;
    }
    for (int round = 0; round < 10; ++round) {
        bytes arbitrary(20000);
        for (std::uint8_t& byte : arbitrary) byte = static_cast<std::uint8_t>(rng());
        expect_every_path(arbitrary, "arbitrary bytes round " + std::to_string(round));
    }
}

}  // namespace
