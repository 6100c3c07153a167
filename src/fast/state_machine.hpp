// The translation as a state machine over byte categories, for the path that
// translates many stretches of a track at once (vector_machine.*).
//
// Between two bytes of a compact stream the translation stands in one of a
// few states: at a delta-time byte, behind a delta time (where a status or a
// running event's first data byte stands), inside a channel event's data
// bytes, or inside a meta event (its type, its length byte, the bytes the
// length counts). Which state follows, and whether the byte gains a pad
// behind it, depends on the state and on the byte's category alone, plus,
// inside a meta event, a count of the bytes still to come and the running
// class to return to. The byte-at-a-time translation (format/event_stream.*)
// stays the statement of the format; this machine is tested against it.
//
// Two things the machine does not take: an end of track, and a length byte
// of 0x80 or more (its length grows to two bytes). At those it escapes, and
// the caller translates the event the ordinary way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "format/event_tables.hpp"
#include "tolvarin/tolvarin.hpp"

namespace tolvarin::machine {

// The states: four by running class where the class decides what follows,
// one each elsewhere. Fifteen, so that a state and a category (below) make a
// seven-bit index into one table.
enum state : std::uint8_t {
    delta_none, delta_padded, delta_two, delta_one,      // at a delta-time byte
    status_none, status_padded, status_two, status_one,  // behind a delta time
    meta_type,     // behind an F8-FF status: the type byte
    meta_length,   // behind a type that has a length: the length byte
    meta_counted,  // the bytes a length (or a tempo) counts
    first_of_two,  // behind a note-on, key-pressure or controller status
    last_of_two,   // the second of those two data bytes
    padded_data,   // behind a note-off or pitch-bend status: its data byte, padded
    single_data,   // behind a program or channel-pressure status
};
// A table entry's state meaning: back to the delta state of the return class.
inline constexpr std::uint8_t returning = 15;
inline constexpr unsigned state_count = 15;

// Byte categories, as multiples of 16 so that category + state indexes the
// step table. Below 0x80 the category says what the byte is as a meta type;
// from 0x80 on, what it is as a status.
enum category : std::uint8_t {
    length_type = 0x00,   // 00-07, 20, 21, 54, 58, 59, 7F: a type with a length
    end_type = 0x10,      // 2F
    tempo_type = 0x20,    // 51
    plain_byte = 0x30,    // any other byte below 0x80
    padded_status = 0x40,  // 80-8F, E0-EF
    two_status = 0x50,     // 90-BF
    one_status = 0x60,     // C0-DF
    system_status = 0x70,  // F0-FF
};

inline constexpr std::array<std::uint8_t, 256> categories = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        std::uint8_t value = plain_byte;
        if (byte < 0x80) {
            if (meta_kinds[byte] == meta_kind::length_prefixed) value = length_type;
            if (meta_kinds[byte] == meta_kind::end_of_track) value = end_type;
            if (meta_kinds[byte] == meta_kind::tempo) value = tempo_type;
        } else if (byte >= 0xF0) {
            value = system_status;
        } else {
            const channel_shape shape = channel_shapes[byte];
            value = shape.pad != 0 ? padded_status : shape.data_bytes == 2 ? two_status : one_status;
        }
        table[byte] = value;
    }
    return table;
}();

// What a status byte leaves as the return class of the meta event it begins,
// as a mask of the running class: F8-FF keep it (3), F0-F7 cancel it (0).
inline constexpr std::array<std::uint8_t, 256> class_keeps = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) table[byte] = byte >= 0xF0 && byte < 0xF8 ? 0 : 3;
    return table;
}();

// Count operations, bits 4-5 of an entry.
enum count_op : std::uint8_t { keep_count = 0, count_down = 1, count_byte = 2, count_four = 3 };

// A step table entry: bits 0-3 the next state (or `returning`), bits 4-5 the
// count operation, bit 6 an escape, bit 7 a pad behind the byte.
inline constexpr std::uint8_t escape_bit = 0x40;
inline constexpr std::uint8_t pad_bit = 0x80;

constexpr std::uint8_t entry(unsigned next, count_op op = keep_count, bool escape = false, bool pad = false) {
    return static_cast<std::uint8_t>(next | (unsigned{op} << 4) | (escape ? unsigned{escape_bit} : 0u) | (pad ? unsigned{pad_bit} : 0u));
}

inline constexpr std::array<std::uint8_t, 128> steps = [] {
    std::array<std::uint8_t, 128> table{};
    for (unsigned category_index = 0; category_index < 8; ++category_index) {
        const auto byte_category = static_cast<std::uint8_t>(category_index * 16);
        const bool below_0x80 = byte_category < padded_status;
        for (unsigned from = 0; from < 16; ++from) {
            std::uint8_t value = entry(from);
            if (from <= delta_one) {
                // A delta-time byte of 0x80 or more goes on; below, it ends.
                value = entry(below_0x80 ? status_none + from : from);
            } else if (from <= status_one) {
                const unsigned running = from - status_none;
                if (below_0x80) {
                    // A running event's first data byte; with no running
                    // status, a delta time of one byte.
                    switch (running) {
                        case no_running: value = entry(status_none); break;
                        case one_padded: value = entry(delta_padded, keep_count, false, true); break;
                        case two_data: value = entry(last_of_two); break;
                        default: value = entry(delta_one); break;
                    }
                } else {
                    switch (byte_category) {
                        case padded_status: value = entry(padded_data); break;
                        case two_status: value = entry(first_of_two); break;
                        case one_status: value = entry(single_data); break;
                        default: value = entry(meta_type); break;
                    }
                }
            } else if (from == meta_type) {
                switch (byte_category) {
                    case length_type: value = entry(meta_length); break;
                    case end_type: value = entry(meta_type, keep_count, true); break;
                    case tempo_type: value = entry(meta_counted, count_four); break;
                    default: value = entry(returning); break;  // a type with nothing behind it
                }
            } else if (from == meta_length) {
                // A count of zero returns at once (the count check below).
                value = below_0x80 ? entry(meta_counted, count_byte) : entry(meta_length, keep_count, true);
            } else if (from == meta_counted) {
                value = entry(meta_counted, count_down);
            } else if (from == first_of_two) {
                value = entry(last_of_two);
            } else if (from == last_of_two) {
                value = entry(delta_two);
            } else if (from == padded_data) {
                value = entry(delta_padded, keep_count, false, true);
            } else if (from == single_data) {
                value = entry(delta_one);
            }
            table[byte_category + from] = value;
        }
    }
    return table;
}();

struct machine_state {
    std::uint8_t at = delta_none;
    std::uint8_t count = 0;         // in meta_counted: the bytes still to come
    std::uint8_t return_class = 0;  // in a meta event: the running class behind it

    // Two states are the same where the rest of the translation is: the
    // count and the return class matter only inside a meta event.
    bool same_as(const machine_state& other) const {
        if (at != other.at) return false;
        if (at == meta_counted && count != other.count) return false;
        return (at < meta_type || at > meta_counted) || return_class == other.return_class;
    }
};

struct machine_step_result {
    machine_state next;
    bool pad;
    bool escape;
};

// One byte. The return class is taken at every status position: the one
// before an F8-FF status is the class its meta event returns to.
constexpr machine_step_result machine_step(machine_state from, std::uint8_t byte) {
    const std::uint8_t byte_category = categories[byte];
    if (from.at >= status_none && from.at <= status_one) {
        from.return_class = static_cast<std::uint8_t>((from.at - status_none) & class_keeps[byte]);
    }
    const std::uint8_t value = steps[byte_category + from.at];
    std::uint8_t count = from.count;
    switch (static_cast<count_op>((value >> 4) & 3)) {
        case keep_count: break;
        case count_down: --count; break;
        case count_byte: count = byte; break;
        case count_four: count = 4; break;
    }
    std::uint8_t next = value & 0x0F;
    if (next == meta_counted && count == 0) next = returning;
    if (next == returning) next = from.return_class;  // delta_none + class
    return {{next, count, from.return_class}, (value & pad_bit) != 0, (value & escape_bit) != 0};
}

// The machine state at an event boundary of the given running class.
constexpr machine_state at_boundary(running_class running) { return {static_cast<std::uint8_t>(running), 0, 0}; }

// Whether the byte at a position is where the byte-at-a-time translation
// would read a delta time: in a delta state, or, with no running status,
// where a status is expected but a byte below 0x80 stands (it is read as a
// delta time of its own).
constexpr bool is_boundary(const machine_state& state, std::uint8_t byte) {
    return state.at <= delta_one || (state.at == status_none && byte < 0x80);
}

// The running class at a boundary.
constexpr running_class boundary_class(const machine_state& state) {
    return state.at <= delta_one ? static_cast<running_class>(state.at) : no_running;
}

inline constexpr unsigned unit_bytes = 32;

// The vector path runs the machine over units of 32 bytes. A unit whose
// guess was wrong there most often lies in a long run of running events
// with no byte of 0x80 or more, where nothing shows the machine where the
// events start. From the true state, such a unit's events repeat every two
// or three bytes, so its end state and pads (bit j: a pad behind byte j)
// follow from the state alone; and a meta event's counted bytes, when more
// than the unit's 32 remain, take any bytes. Returns false where the unit
// must be stepped through.
constexpr bool skip_unit(machine_state& state, bool high_bytes, std::uint32_t& pads) {
    pads = 0;
    if (state.at == meta_counted) {
        if (state.count <= unit_bytes) return false;
        state.count = static_cast<std::uint8_t>(state.count - unit_bytes);
        return true;
    }
    if (high_bytes) return false;
    static_assert(unit_bytes % 2 == 0 && unit_bytes % 3 == 2);
    switch (state.at) {
        case delta_none:
        case status_none: state.at = status_none; return true;  // one-byte delta times
        // Delta time, data byte, data byte: 32 bytes move the phase on by two.
        case delta_two: state.at = last_of_two; return true;
        case status_two:
        case first_of_two: state.at = delta_two; return true;
        case last_of_two: state.at = status_two; return true;
        // Delta time and one data byte: 32 bytes come back to the same phase.
        case delta_one: return true;
        case single_data: state.at = status_one; return true;
        case status_one: return true;
        // Delta time and a data byte that takes a pad behind it.
        case delta_padded: pads = 0xAAAAAAAAu; return true;
        case padded_data: state.at = status_padded; pads = 0x55555555u; return true;
        case status_padded: pads = 0x55555555u; return true;
        default: return false;
    }
}

}  // namespace tolvarin::machine
