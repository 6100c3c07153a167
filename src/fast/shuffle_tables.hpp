// The shuffle level's tables, shared by its engines (shuffle_machine.cpp:
// AVX2; shuffle_machine_16.cpp: NEON and WebAssembly): the state machine of
// state_machine.hpp split into 16-entry lookups.
//
// The machine's step table has 128 entries, by state (15) and byte category
// (8); a shuffle looks up 16. But the category matters in few places: below
// 0x80 the eight states read a byte the same whatever its category, but for
// the meta type state; from 0x80 on, but for the four status states. So a
// step is two lookups by state (one for bytes below 0x80, one for the rest,
// each shuffle zeroing the bytes the other serves), and where the state is
// one of those few, the entry the byte's category gives, worked out once a
// stretch rather than once a pass.
#pragma once

#include <array>
#include <cstdint>

#include "fast/state_machine.hpp"

namespace tolvarin::machine::shuffle {

// A lookup's entry that says: the entry by the byte's category. No step
// entry is this: it would escape, pad and return at once.
inline constexpr std::uint8_t by_category = 0xFF;

// Where the byte's category, not only whether it is below 0x80, decides the step.
constexpr bool category_decides(unsigned from, bool high) {
    return high ? from >= status_none && from <= status_one : from == meta_type;
}

constexpr std::array<std::uint8_t, 16> steps_by_state(bool high) {
    std::array<std::uint8_t, 16> table{};
    for (unsigned from = 0; from < state_count; ++from) {
        table[from] = category_decides(from, high) ? by_category : steps[(high ? two_status : plain_byte) + from];
    }
    return table;
}
inline constexpr auto low_steps = steps_by_state(false);
inline constexpr auto high_steps = steps_by_state(true);

// The entry a category gives where it decides: below 0x80 the byte read as
// a meta type, from 0x80 on as a status.
constexpr std::uint8_t category_entry(std::uint8_t category) {
    return steps[static_cast<unsigned>(category) + (category < padded_status ? meta_type : status_none)];
}

// The split holds for every state and category.
constexpr bool split_is_the_table() {
    for (unsigned category = 0; category < 8; ++category) {
        const bool high = category * 16 >= padded_status;
        for (unsigned from = 0; from < state_count; ++from) {
            const std::uint8_t whole = steps[category * 16 + from];
            if (whole == by_category) return false;
            const std::uint8_t split = category_decides(from, high)
                                           ? category_entry(static_cast<std::uint8_t>(category * 16))
                                           : steps_by_state(high)[from];
            if (split != whole) return false;
        }
    }
    return true;
}
static_assert(split_is_the_table());

// A byte's category entry from its two nibbles. From 0x80 on the high nibble
// decides. Below it, the types with something behind them (a length, a
// tempo, an end of track) are sets of low nibbles under a few high nibbles:
// each (high nibble, category) pair with its set of low nibbles gets a bit,
// set in the high nibble's table and in each of its low nibbles' tables, so
// that the AND of the two lookups has the pair's bit exactly where the byte
// is in the set. The end of track's pair takes bit 0, the tempo's bit 1, the
// sets of types with a length the bits from 2 on; the lowest of 4 and the
// AND is then 0 (nothing behind the type), 1, 2 or 4.
struct nibble_tables {
    std::array<std::uint8_t, 16> by_high{};
    std::array<std::uint8_t, 16> by_low{};
    std::array<std::uint8_t, 16> entry_of_bits{};
    std::array<std::uint8_t, 16> status_entry{};
    bool fits = true;
};

constexpr nibble_tables make_nibble_tables() {
    nibble_tables tables;
    unsigned next_bit = 2;
    for (unsigned high = 0; high < 8; ++high) {
        for (const std::uint8_t category : {end_type, tempo_type, length_type}) {
            std::uint16_t lows = 0;
            for (unsigned low = 0; low < 16; ++low) {
                if (categories[high * 16 + low] == category) lows = static_cast<std::uint16_t>(lows | 1u << low);
            }
            if (lows == 0) continue;
            unsigned bit = category == end_type ? 0 : category == tempo_type ? 1 : next_bit++;
            if (bit >= 8) {
                tables.fits = false;
                continue;
            }
            tables.by_high[high] = static_cast<std::uint8_t>(tables.by_high[high] | 1u << bit);
            for (unsigned low = 0; low < 16; ++low) {
                if ((lows >> low) & 1) tables.by_low[low] = static_cast<std::uint8_t>(tables.by_low[low] | 1u << bit);
            }
        }
    }
    tables.entry_of_bits[0] = category_entry(plain_byte);
    tables.entry_of_bits[1] = category_entry(end_type);
    tables.entry_of_bits[2] = category_entry(tempo_type);
    tables.entry_of_bits[4] = category_entry(length_type);
    for (unsigned high = 8; high < 16; ++high) tables.status_entry[high] = category_entry(categories[high * 16]);
    return tables;
}
inline constexpr nibble_tables nibbles = make_nibble_tables();

// The lookup as the vector code does it, for every byte.
constexpr std::uint8_t entry_from_nibbles(unsigned byte) {
    if (byte >= 0x80) return nibbles.status_entry[byte >> 4];
    const unsigned bits = nibbles.by_high[byte >> 4] & nibbles.by_low[byte & 15];
    return nibbles.entry_of_bits[bits < 4 ? bits : 4];
}

constexpr bool nibbles_give_every_category() {
    if (!nibbles.fits) return false;
    for (unsigned byte = 0; byte < 256; ++byte) {
        if (entry_from_nibbles(byte) != category_entry(categories[byte])) return false;
    }
    return true;
}
static_assert(nibbles_give_every_category());

// For each eight bytes' pads, the shuffle that puts a zero behind each padded
// byte (an index with bit 7 set gives a zero on every engine).
alignas(16) inline constexpr auto expansions = [] {
    std::array<std::array<std::uint8_t, 16>, 256> table{};
    for (unsigned pads = 0; pads < 256; ++pads) {
        unsigned slot = 0;
        for (unsigned byte = 0; byte < 8; ++byte) {
            table[pads][slot++] = static_cast<std::uint8_t>(byte);
            if ((pads >> byte) & 1) table[pads][slot++] = 0x80;
        }
        while (slot < 16) table[pads][slot++] = 0x80;
    }
    return table;
}();

}  // namespace tolvarin::machine::shuffle
