// The AVX2 engine's step entries (shuffle_machine.cpp): the lookups of
// shuffle_tables.hpp with their entries laid out so that a step of 32 units
// takes fewer operations.
//
// Three things change. An entry's bit 7 is clear, so that the entry itself
// is the next state as a shuffle index (a shuffle reads bits 0-3 and 7 of
// an index), and in the lookups by state bit 7 alone says "the entry by
// the byte's category", which a blend on bit 7 takes with no compare.
// A meta event's count is kept as the row (the byte of the unit, 0-31) of
// its last counted byte, set once where the count is read and never counted
// down: the event ends where the row is that number. And a type with
// nothing behind it sets that row to its own, so that every end of a meta
// event is that one compare. Which row an entry sets needs no lookup of
// its own: the entries by category that set it are a type's below 0x80
// (its row, or four on for a tempo), and the entries by state that set it
// are a length byte's (the byte on from its row) or a type's of 0x80 or
// more (its row, taken as that byte's length row), so the lookup by
// state's bit 7 picks between the two. The return class is kept where a
// status byte of 0x80 or more is read in a status state, the only place a
// meta event starts; elsewhere it is left as it is, as it matters only
// inside a meta event.
#pragma once

#include <array>
#include <cstdint>

#include "fast/shuffle_tables.hpp"

namespace tolvarin::machine::shuffle {

// An entry: bits 0-3 the next state (`returning` for a type with nothing
// behind it), bit 4 the entry sets the meta event's last row, bit 5 an
// escape, bit 6 a pad.
inline constexpr std::uint8_t sets_last_row = 0x10;
inline constexpr std::uint8_t pass_escape = 0x20;
inline constexpr std::uint8_t pass_pad = 0x40;
// In the lookups by state: the entry by the byte's category.
inline constexpr std::uint8_t pass_by_category = 0x80;

// What a last row is set to at a unit's start outside the counted bytes:
// no row of a unit.
inline constexpr std::uint8_t no_last_row = 0x80;

constexpr std::uint8_t pass_entry(std::uint8_t value) {
    const unsigned next = value & 0x0F;
    const auto op = static_cast<count_op>((value >> 4) & 3);
    const bool sets = op == count_byte || op == count_four || next == returning;
    return static_cast<std::uint8_t>(next | (sets ? sets_last_row : 0u) | ((value & escape_bit) != 0 ? pass_escape : 0u) |
                                     ((value & pad_bit) != 0 ? pass_pad : 0u));
}

constexpr std::array<std::uint8_t, 16> pass_steps_by_state(bool high) {
    std::array<std::uint8_t, 16> table{};
    for (unsigned from = 0; from < state_count; ++from) {
        table[from] = category_decides(from, high) ? pass_by_category
                                                   : pass_entry(steps[(high ? two_status : plain_byte) + from]);
    }
    return table;
}
inline constexpr auto pass_low_steps = pass_steps_by_state(false);
inline constexpr auto pass_high_steps = pass_steps_by_state(true);

// The nibble lookups of shuffle_tables.hpp, giving entries of this layout.
constexpr std::array<std::uint8_t, 16> pass_entries_of(const std::array<std::uint8_t, 16>& entries) {
    std::array<std::uint8_t, 16> table{};
    for (unsigned k = 0; k < 16; ++k) table[k] = pass_entry(entries[k]);
    return table;
}
inline constexpr auto pass_entry_of_bits = pass_entries_of(nibbles.entry_of_bits);
inline constexpr auto pass_status_entry = pass_entries_of(nibbles.status_entry);

// The entry by category of a tempo's type: the one category entry that sets
// the last row four bytes on (the tempo's length byte and three bytes).
inline constexpr std::uint8_t tempo_entry = pass_entry(category_entry(tempo_type));
inline constexpr std::uint8_t tempo_bytes = 4;

// What a step needs of one byte, worked out once a stretch.
struct pass_byte {
    std::uint8_t by_category;  // the entry by the byte's category
    // 0x80 | 3 from 0x80 on (0x80 alone for F0-F7, which cancel the
    // running class: see class_keeps); 0 below 0x80. Bit 7 picks the
    // lookup by state for bytes of 0x80 or more, and with that lookup's
    // bit 7 says a status byte read in a status state.
    std::uint8_t keeps;
    // The last row behind the byte as a length: the byte plus its row. A
    // byte of 0x80 or more is never a length (it escapes there), but as a
    // type it has nothing behind it, and its entry comes from the lookup by
    // state: its row alone.
    std::uint8_t length_row;
    std::uint8_t type_row;     // its row, plus 4 for a tempo's type: the last row behind it as a type
};

constexpr pass_byte pass_byte_of(std::uint8_t byte, unsigned row) {
    const std::uint8_t entry = pass_entry(category_entry(categories[byte]));
    const bool high = byte >= 0x80;
    return {entry, static_cast<std::uint8_t>(high ? 0x80 | class_keeps[byte] : 0),
            static_cast<std::uint8_t>(high ? row : byte + row),
            static_cast<std::uint8_t>(row + (entry == tempo_entry ? tempo_bytes : 0))};
}

// A unit's state as the AVX2 passes keep it: the state (bits 4-6 may hold
// the entry's other bits), the last row of a meta event's counted bytes,
// and the return class.
struct pass_state {
    std::uint8_t at;
    std::uint8_t last_row;
    std::uint8_t return_class;
};

struct pass_step_result {
    pass_state next;
    std::uint8_t entry;
};

// One step as the vector code takes it, one unit: the statement of the
// layout the tests hold to the state machine's step.
constexpr pass_step_result pass_step(pass_state from, std::uint8_t byte, unsigned row) {
    const pass_byte b = pass_byte_of(byte, row);
    const std::uint8_t by_state = ((b.keeps & 0x80) != 0 ? pass_high_steps : pass_low_steps)[from.at & 0x0F];
    const std::uint8_t entry = (by_state & 0x80) != 0 ? b.by_category : by_state;
    pass_state next = from;
    if ((by_state & b.keeps & 0x80) != 0) next.return_class = static_cast<std::uint8_t>(from.at & b.keeps);
    const std::uint8_t last_row = (by_state & 0x80) != 0 ? b.type_row : b.length_row;
    if ((entry & sets_last_row) != 0) next.last_row = last_row;
    next.at = next.last_row == row ? next.return_class : entry;
    return {next, entry};
}

// The machine's state at a unit's row as the passes keep it.
constexpr pass_state pass_state_of(const machine_state& state, unsigned row) {
    return {state.at,
            static_cast<std::uint8_t>(state.at == meta_counted ? row + state.count - 1 : no_last_row),
            state.return_class};
}

}  // namespace tolvarin::machine::shuffle
