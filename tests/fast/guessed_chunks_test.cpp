// Chunks that are runs of running events (no byte of 0x80 or more) show no
// phase, and are met by the true translation wherever it stands in them:
// each class, runs a pad makes differ by phase, runs broken by a status,
// and runs cut short by the end of the image, at chunk sizes that put the
// chunks' edges at every phase of the events, through every level.
#include <gtest/gtest.h>

#include <string>

#include "bytes.hpp"
#include "fast/vector_machine.hpp"
#include "model.hpp"

namespace {

using test_support::bytes;
using test_support::hex;

TEST(chunks, runs_are_met_at_any_phase) {
    const struct {
        const char* name;
        bytes start;   // sets the class
        bytes repeat;  // one event of the run
        bytes broken;  // put in every 700 events, if any
        bytes tail;
    } runs[] = {
        {"note ons", hex("00 90 3C 40"), hex("01 3C 40"), {}, hex("00 FF 2F 00")},
        {"program changes", hex("00 C0 05"), hex("01 06"), {}, hex("00 FF 2F 00")},
        {"delta times alone", hex("00 F1 05"), hex("01"), {}, hex("00 FF 2F 00")},
        {"note offs, padded", hex("00 80 3C"), hex("01 3C"), {}, hex("00 FF 2F 00")},
        {"note ons and a controller now and then", hex("00 90 3C 40"), hex("01 3C 40"), hex("00 B0 07 64 00 90 3C 40"),
         hex("00 FF 2F 00")},
        {"note ons and a two-byte delta time now and then", hex("00 90 3C 40"), hex("01 3C 40"), hex("81 00 3C 40"),
         hex("00 FF 2F 00")},
        {"note ons cut short by the image's end", hex("00 90 3C 40"), hex("01 3C 40"), {}, hex("01 3C")},
    };
    for (const auto& run : runs) {
        bytes stream = run.start;
        for (int i = 1; i <= 7000; ++i) {
            stream.insert(stream.end(), run.repeat.begin(), run.repeat.end());
            if (i % 700 == 0) stream.insert(stream.end(), run.broken.begin(), run.broken.end());
        }
        stream.insert(stream.end(), run.tail.begin(), run.tail.end());
        const bytes image = test_support::concat({bytes(16, 0), test_support::header_block(), stream});
        constexpr std::uint32_t first_event = 38;
        const bytes expected = test_support::reference_translate(image, first_event);
        std::vector<tolvarin::wide_level> levels{tolvarin::wide_level::portable};
        for (const auto& [level, name] : test_support::stretch_levels()) {
            if (tolvarin::machine::stretch_level_available(level)) levels.push_back(level);
        }
        for (const tolvarin::wide_level level : levels) {
            for (const std::uint32_t chunk_bytes : {1000u, 1001u, 1002u, 5000u}) {
                EXPECT_TRUE(test_support::translate_chunked(image, first_event, chunk_bytes, 4, level) == expected)
                    << run.name << ", chunks of " << chunk_bytes << ", level " << static_cast<int>(level);
            }
        }
    }
}

}  // namespace
