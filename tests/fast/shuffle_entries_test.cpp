// The AVX2 engine's step (fast/shuffle_entries.hpp: entries that are the
// next state, a meta event's last row in place of its count, the return
// class kept at status bytes) held to the state machine's step from every
// state, and worked through by hand; the vector tests hold the engine
// itself to the reference.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes.hpp"
#include "fast/shuffle_entries.hpp"

namespace {

using namespace tolvarin::machine;
using namespace tolvarin::machine::shuffle;
using test_support::bytes;
using test_support::hex;

// The pass state behind a row, read as the machine's, is the machine's
// where it matters: the state; the count in the counted bytes; the return
// class inside a meta event.
::testing::AssertionResult same_state(const pass_state& kept, unsigned row, const machine_state& want) {
    const unsigned at = kept.at & 0x0F;
    const auto count = static_cast<std::uint8_t>(kept.last_row - row);
    const bool in_meta = at >= meta_type && at <= meta_counted;
    if (at != want.at || (at == meta_counted && count != want.count) ||
        (in_meta && kept.return_class != want.return_class)) {
        return ::testing::AssertionFailure() << "pass state " << at << " count " << unsigned{count} << " class "
                                             << unsigned{kept.return_class} << ", machine state "
                                             << unsigned{want.at} << " count " << unsigned{want.count} << " class "
                                             << unsigned{want.return_class};
    }
    return ::testing::AssertionSuccess();
}

// One step from every state, byte, return class and row of a unit; in the
// counted state from every count a length byte can give.
TEST(shuffle_entries, one_step_from_every_state_is_the_machines) {
    for (unsigned at = 0; at < state_count; ++at) {
        const unsigned counts = at == meta_counted ? 127 : 1;
        for (unsigned count = 1; count <= counts; ++count) {
            for (unsigned byte = 0; byte < 256; ++byte) {
                for (unsigned return_class = 0; return_class < 4; ++return_class) {
                    const machine_state from{static_cast<std::uint8_t>(at), static_cast<std::uint8_t>(count),
                                             static_cast<std::uint8_t>(return_class)};
                    const machine_step_result want = machine_step(from, static_cast<std::uint8_t>(byte));
                    for (unsigned row = 0; row < unit_bytes; ++row) {
                        const pass_step_result got = pass_step(pass_state_of(from, row), static_cast<std::uint8_t>(byte), row);
                        const std::string what = "state " + std::to_string(at) + ", count " + std::to_string(count) +
                                                 ", class " + std::to_string(return_class) + ", byte " +
                                                 std::to_string(byte) + ", row " + std::to_string(row);
                        ASSERT_EQ((got.entry & pass_escape) != 0, want.escape) << what;
                        if (want.escape) continue;
                        ASSERT_EQ((got.entry & pass_pad) != 0, want.pad) << what;
                        ASSERT_TRUE(same_state(got.next, row, want.next)) << what;
                    }
                }
            }
        }
    }
}

// Meta events and channel events by hand: the state behind each byte, and
// the bytes that take a pad (p) or escape (e).
TEST(shuffle_entries, meta_events_by_hand) {
    struct row_case {
        const char* name;
        machine_state start;
        unsigned first_row;
        const char* stream;
        std::vector<std::uint8_t> states;  // behind each byte
        const char* marks;                 // per byte: '.', 'p' a pad, 'e' an escape (the states stop there)
        unsigned last_count = 0;           // in the counted state behind the last byte: the bytes still to come
    };
    const row_case cases[] = {
        {"a text of two bytes returns to the note off's class", {status_padded, 0, 0}, 0, "FF 01 02 41 42 05",
         {meta_type, meta_length, meta_counted, meta_counted, delta_padded, status_padded}, "......"},
        {"F1 cancels the running class", {status_two, 0, 0}, 0, "F1 0A 05", {meta_type, delta_none, status_none}, "..."},
        {"a length of nothing ends at once", {status_one, 0, 0}, 5, "FF 06 00 05",
         {meta_type, meta_length, delta_one, status_one}, "...."},
        {"a tempo counts four bytes whatever its length byte", {status_none, 0, 0}, 0, "FF 51 7F 01 02 03 05",
         {meta_type, meta_counted, meta_counted, meta_counted, meta_counted, delta_none, status_none}, "......."},
        {"a count carried in ends two bytes on", {meta_counted, 2, 3}, 29, "41 42 05",
         {meta_counted, delta_one, status_one}, "..."},
        {"a count carried past the unit", {meta_length, 0, 2}, 28, "7F 61 62 63",
         {meta_counted, meta_counted, meta_counted, meta_counted}, "....", 124},
        {"two meta events in a unit", {status_none, 0, 0}, 0,
         "FF 01 01 41 00 FF 01 05 41 42 43 44 45 00",
         {meta_type, meta_length, meta_counted, delta_none, status_none, meta_type, meta_length, meta_counted,
          meta_counted, meta_counted, meta_counted, meta_counted, delta_none, status_none},
         ".............."},
        {"a length of 0x80 or more escapes", {status_none, 0, 0}, 0, "FF 01 80", {meta_type, meta_length}, "..e"},
        // A type byte of 0x80 or more takes its entry from the lookup by
        // state, yet ends the event at its own row as a type below 0x80 does.
        {"a type of 0x80 or more has nothing behind it", {status_two, 0, 0}, 3, "FF 90 05",
         {meta_type, delta_two, status_two}, "..."},
        {"a type of F7 at a unit's last row", {status_padded, 0, 0}, 30, "FF F7", {meta_type, delta_padded}, ".."},
        {"a length at a unit's last row", {status_one, 0, 0}, 29, "FF 01 05", {meta_type, meta_length, meta_counted},
         "...", 5},
    };
    for (const row_case& c : cases) {
        const bytes stream = hex(c.stream);
        ASSERT_EQ(stream.size(), std::string(c.marks).size()) << c.name;
        pass_state kept = pass_state_of(c.start, c.first_row);
        unsigned row = c.first_row;
        for (std::size_t k = 0; k < stream.size(); ++k, ++row) {
            const pass_step_result got = pass_step(kept, stream[k], row);
            const char mark = c.marks[k];
            EXPECT_EQ((got.entry & pass_escape) != 0, mark == 'e') << c.name << ", byte " << k;
            if (mark == 'e') break;
            EXPECT_EQ((got.entry & pass_pad) != 0, mark == 'p') << c.name << ", byte " << k;
            ASSERT_LT(k, c.states.size()) << c.name;
            EXPECT_EQ(got.next.at & 0x0F, c.states[k]) << c.name << ", byte " << k;
            kept = got.next;
        }
        if (c.last_count != 0) {
            EXPECT_EQ(static_cast<std::uint8_t>(kept.last_row - (row - 1)), c.last_count) << c.name;
        }
    }
}

}  // namespace
